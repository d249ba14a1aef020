%VERBOSITY_CODE  The engine's code for a checked 'Verbose' value: 0 none, 1 all, 2 after a quiet spell.
%
%  The spell's length is the engine's, zelmor_engine('quietSeconds').
function code = verbosity_code (verbose)
  if ischar(verbose)
    code = 2;
  else
    code = double(verbose);
  end
end
