%CHECKED_EXAMPLES  Features (or a kernel) as the helpers take them, checked and made full double.
%
%  X = checked_examples(X, NAME)
%
%  X must be a real 2-D numeric or logical matrix of finite values, one example per row; NAME
%  names it in the message of zelmor:badExamples, with the first value that is not finite.

function X = checked_examples (X, name)
  if ~(isnumeric(X) || islogical(X)) || ~isreal(X) || ndims(X) ~= 2
    error('zelmor:badExamples', '%s must be a real 2-D numeric matrix, one example per row', name);
  end
  X = full(double(X));
  [row, column] = find(~isfinite(X), 1);
  if ~isempty(row)
    error('zelmor:badExamples', '%s must be finite (got %g at row %d, column %d)', name, X(row, column), ...
          row, column);
  end
end
