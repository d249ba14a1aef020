% Whether A and B are the same to the last bit: the same class and size, the same fields in
% the same order, and every double the same bits (NaN and the sign of zero included; sparse
% matrices sparse alike).
function same = same_bits (a, b)
  same = strcmp (class (a), class (b)) && isequal (size (a), size (b));
  if ! same
    return;
  end
  if isstruct (a)
    same = isequal (fieldnames (a), fieldnames (b));
    names = fieldnames (a);
    for i = 1:numel (a)
      for f = 1:numel (names)
        same = same && same_bits (a(i).(names{f}), b(i).(names{f}));
      end
    end
  elseif iscell (a)
    for i = 1:numel (a)
      same = same && same_bits (a{i}, b{i});
    end
  elseif issparse (a) || issparse (b)
    % The same non-zeros at the same places; the zeros of a sparse matrix have no sign.
    [rowsA, columnsA, valuesA] = find (a);
    [rowsB, columnsB, valuesB] = find (b);
    same = issparse (a) == issparse (b) && isequal ([rowsA, columnsA], [rowsB, columnsB]) ...
           && same_bits (full (valuesA), full (valuesB));
  elseif isa (a, "double")
    same = isequal (typecast (a(:), "uint64"), typecast (b(:), "uint64"));
  else
    same = isequal (a, b);
  end
end
