%RUN_COMMAND  Runs a shell command line: its exit status and its output (stdout and stderr), trimmed.
%
%  [STATUS, OUTPUT] = run_command(COMMAND)
%
%  Status 127 means the shell did not find the program.

function [status, output] = run_command (command)
  [status, output] = system([command, ' 2>&1']);
  output = regexprep(output, '\s+$', '');
end
