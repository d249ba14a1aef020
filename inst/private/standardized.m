%STANDARDIZED  Features centred and scaled by the training statistics of a model.
%
%  X = standardized(X, CENTER, SCALE)
%
%  (X - CENTER) ./ SCALE, feature by feature (CENTER and SCALE rows of one value per column
%  of X). CENTER [] means no centring, as for a model trained on a sparse X: X ./ SCALE, and a
%  sparse X stays sparse, its non-zeros divided alone. Centring makes a sparse X full.

function X = standardized (X, center, scale)
  if ~isempty(center)
    X = full((X - center) ./ scale);
  elseif issparse(X)
    [exampleOf, featureOf, values] = find(X);
    scale = scale(:);
    X = sparse(exampleOf, featureOf, values ./ scale(featureOf), size(X, 1), size(X, 2));
  else
    X = X ./ scale;
  end
end
