%VERBOSITY_CODE  The engine's code for a checked 'Verbose' value: 0 none, 1 all, 2 after 2 s.
function code = verbosity_code (verbose)
  if ischar(verbose)
    code = 2;
  else
    code = double(verbose);
  end
end
