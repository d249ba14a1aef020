%MODEL_FIELDS  The fields of a zelmor_train model, in their order, and those prediction reads.
%
%  [FIELDS, READ] = model_fields()
%
%  zelmor_train makes its models with exactly FIELDS, in this order; zelmor_predict takes any
%  struct of this format and version that has the fields READ, so models saved by earlier
%  releases of version 1 still predict.

function [fields, read] = model_fields ()
  read = {'format', 'version', 'kernel', 'gamma', 'degree', 'offset', 'standardize', 'center', ...
          'scale', 'supportVectors', 'supportIndices', 'tau', 'classes', 'labelType', 'labelsAsRow', ...
          'beta', 'featureCount', 'trainCount'};
  fields = {'format', 'version', 'kernel', 'gamma', 'degree', 'offset', 'standardize', 'center', ...
            'scale', 'supportVectors', 'supportIndices', 'tau', 'classes', 'labelType', 'labelsAsRow', ...
            'C', 'beta', 'featureCount', 'trainCount', 'grid', 'iterations', 'restarts', 'converged', ...
            'tolerance', 'temperature', 'seconds'};
end
