%CHECKED_EXAMPLES  Features (or a kernel) as the helpers take them, checked and made double.
%
%  X = checked_examples(X, NAME)
%
%  X must be a real 2-D numeric or logical matrix of finite values, one example per row; NAME
%  names it in the message of zelmor:badExamples, with the first value that is not finite. X
%  comes back full double, or sparse double when it is sparse: a sparse X is never made full,
%  and only its non-zeros are looked at.

function X = checked_examples (X, name)
  if ~(isnumeric(X) || islogical(X)) || ~isreal(X) || ndims(X) ~= 2
    error('zelmor:badExamples', '%s must be a real 2-D numeric matrix, one example per row', name);
  end
  if issparse(X)
    X = double(X);
    if all(isfinite(nonzeros(X)))
      return
    end
    [exampleOf, featureOf, values] = find(X);
    bad = find(~isfinite(values), 1);
    [row, column, value] = deal(exampleOf(bad), featureOf(bad), values(bad));
  else
    X = double(X);
    [row, column] = find(~isfinite(X), 1);
    value = X(row, column);
  end
  if ~isempty(row)
    error('zelmor:badExamples', '%s must be finite (got %g at row %d, column %d)', name, value, row, column);
  end
end
