%FLUSH_OUTPUT  Sends what was printed on to the terminal or the log file now (Octave buffers it).
function flush_output ()
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    fflush(stdout);
  end
end
