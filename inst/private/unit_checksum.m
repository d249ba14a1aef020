%UNIT_CHECKSUM  The checksum of a unit's result: its problem's checksum, the unit and every result.
%
%  CHECKSUM = unit_checksum(RESULT)
%
%  RESULT holds the fields of a unit file that unit_fields lists as checked. A file whose
%  content field differs from this was damaged.

function checksum = unit_checksum (result)
  [~, checked] = unit_fields();
  values = cellfun(@(field) result.(field), checked, 'UniformOutput', false);
  checksum = zelmor_engine('checksum', values{:});
end
