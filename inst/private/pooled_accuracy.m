%POOLED_ACCURACY  Cross-validated accuracies from the correct predictions of each fold.
%
%  [POOLED, PERFOLD] = pooled_accuracy(CORRECT, FOLDSIZES)
%
%  CORRECT holds counts of correct predictions with the folds along its last dimension (NaN
%  where a cell was not tried), FOLDSIZES the test examples of each fold. POOLED is the count
%  over all folds against every example, once each (the folds' sizes add up to them); PERFOLD
%  each fold's count against its size. NaN stays NaN.

function [pooled, perFold] = pooled_accuracy (correct, foldSizes)
  folds = ndims(correct);
  pooled = sum(correct, folds) / sum(foldSizes);
  perFold = correct ./ reshape(foldSizes, [ones(1, folds - 1), numel(foldSizes)]);
end
