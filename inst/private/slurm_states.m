%SLURM_STATES  The states of the tasks of some Slurm jobs, from squeue, else sacct.
%
%  STATES = slurm_states(IDS)
%  STATES = slurm_states(IDS, 'accounting')
%
%  IDS is a cell of job ids. squeue answers for the jobs the controller still holds (those
%  pending or running, and for a few minutes those ended); with 'accounting', sacct answers
%  instead, for jobs of any age where the cluster keeps accounts (where it does not, the
%  answer is empty). STATES is a struct array with fields job (char), task (the array task
%  id, NaN for a job that is not an array) and state ('PENDING', 'RUNNING', 'COMPLETED',
%  'FAILED', 'CANCELLED', ...); a task neither knows is left out.
%
%  Errors (identifiers): zelmor:badJob (an id that is not digits, job_ids), zelmor:noSlurm
%  (squeue missing), zelmor:queueFailed.

function states = slurm_states (ids, source)
  states = struct('job', {}, 'task', {}, 'state', {});
  if isempty(ids)
    return
  end
  % The ids go into the command line as they are.
  list = strjoin(job_ids(ids), ',');
  if nargin > 1 && strcmp(source, 'accounting')
    [status, output] = run_command(sprintf('sacct -n -P -X -j %s -o JobID,State', list));
    if status ~= 0
      return
    end
    % 12_3|FAILED, 12|COMPLETED, 12_4|CANCELLED by 0; pending ranges (12_[5-9]) are skipped.
    matches = regexp(output, '^(\d+)(?:_(\d+))?\|(\w+)', 'tokens', 'lineanchors');
  else
    [status, output] = run_command(sprintf('squeue -h -r -t all -j %s -o %s', list, shell_quote('%F|%K|%T')));
    if status == 127
      error('zelmor:noSlurm', 'squeue is not on the PATH: Slurm''s commands are needed to follow the job');
    end
    if status ~= 0
      % Jobs the controller has forgotten are not an error, only unknown here.
      if ~isempty(strfind(output, 'Invalid job id'))
        return
      end
      error('zelmor:queueFailed', 'squeue failed (status %d): %s', status, output);
    end
    matches = regexp(output, '^(\d+)\|([^|]*)\|(\w+)', 'tokens', 'lineanchors');
  end
  for r = 1:numel(matches)
    row = matches{r};
    if any(strcmp(row{1}, ids))
      states(end + 1) = struct('job', row{1}, 'task', str2double(row{2}), 'state', row{3});
    end
  end
end
