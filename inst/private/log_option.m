%LOG_OPTION  The sbatch option that sends a batch job's output to FOLDER/logs/NAME.
%
%  OPTION = log_option(FOLDER, NAME)
%
%  NAME is a Slurm filename pattern ('task-%A_%a.log'). Slurm reads % in the whole pattern,
%  so every % of the folder's name is written %%. A backslash anywhere turns the pattern off
%  (every task would write one file of that literal name): a folder whose name holds one
%  raises zelmor:badOption.

function option = log_option (folder, name)
  if any(folder == '\')
    error('zelmor:badOption', ['the folder %s holds a backslash, which Slurm reads in the name of a log ' ...
                               'file (it turns off %%A and %%a there): choose a folder without one'], folder);
  end
  option = ['--output=', strrep(fullfile(folder, 'logs'), '%', '%%'), '/', name];
end
