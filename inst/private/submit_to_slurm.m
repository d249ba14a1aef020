%SUBMIT_TO_SLURM  Submits a batch script of a cluster search with sbatch; returns the job id.
%
%  ID = submit_to_slurm(JOB, SCRIPT, OPTIONS)
%
%  JOB is the job record (its folder, threads and extra sbatch options are used); SCRIPT the
%  batch script's file name in the folder; OPTIONS a cell of further sbatch options (the
%  array, the log file, a dependency). Every option goes through the shell quoted as it is.
%
%  Errors (identifiers): zelmor:noSbatch (sbatch not found), zelmor:submitRejected (sbatch
%  failed, or said no job id).

function id = submit_to_slurm (job, script, options)
  words = [{'--parsable', '--job-name=zelmor'}, options];
  if job.threads > 0
    words{end + 1} = sprintf('--cpus-per-task=%d', job.threads);
  end
  words = [words, job.sbatch, {fullfile(job.folder, script)}];
  quoted = cellfun(@shell_quote, words, 'UniformOutput', false);
  [status, output] = run_command(['sbatch ', strjoin(quoted, ' ')]);
  if status == 127
    error('zelmor:noSbatch', ['sbatch is not on the PATH: submitting needs Slurm''s commands on this ' ...
                              'machine (%s)'], output);
  end
  % --parsable prints the id, or id;cluster, alone on its last line.
  lines = regexp(output, '^(\d+)(;\S*)?$', 'tokens', 'lineanchors');
  if status ~= 0 || isempty(lines)
    error('zelmor:submitRejected', 'sbatch rejected the job (status %d): %s', status, output);
  end
  id = lines{end}{1};
end
