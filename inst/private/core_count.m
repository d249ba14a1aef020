%CORE_COUNT  How many cores this machine offers: nproc in Octave, feature('numcores') in MATLAB.
function count = core_count ()
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    count = nproc();
  else
    count = feature('numcores');
  end
end
