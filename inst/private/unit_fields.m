%UNIT_FIELDS  The fields of a unit's result file, in their order, and those its checksum covers.
%
%  [FIELDS, CHECKED] = unit_fields()
%
%  zelmor_task writes each unit's result with exactly FIELDS, in this order; unit_result
%  refuses a file that lacks any of them. CHECKED, in the order the checksum reads them, are
%  the problem's checksum, the unit and its results: a file whose content field is not their
%  checksum (unit_checksum) was damaged.

function [fields, checked] = unit_fields ()
  checked = {'checksum', 'unit', 'correct', 'classCorrect', 'decision', 'iterations', 'restarts', 'converged', ...
             'seconds'};
  fields = [checked, {'baseSeconds', 'kernelSeconds', 'solveSeconds', 'scoringSeconds', 'content'}];
end
