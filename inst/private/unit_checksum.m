%UNIT_CHECKSUM  The checksum of a unit's result: its problem's checksum, the unit and every result.
%
%  CHECKSUM = unit_checksum(RESULT)
%
%  RESULT holds the fields checksum, unit, correct, classCorrect, decision, iterations,
%  restarts, converged and seconds of a unit file. A file whose checksum field differs from this
%  was damaged.

function checksum = unit_checksum (result)
  checksum = zelmor_engine('checksum', result.checksum, result.unit, result.correct, result.classCorrect, ...
                           result.decision, result.iterations, result.restarts, result.converged, result.seconds);
end
