%JOB_IDS  Slurm job ids, checked before they reach a command line.
%
%  IDS = job_ids(IDS)
%
%  IDS is a cell of job ids: each a char row of digits, or digits, _ and a task number
%  (123 or 123_4). Anything else, which the shell or Slurm could read as more than an id,
%  raises zelmor:badJob.

function ids = job_ids (ids)
  for i = 1:numel(ids)
    if ~ischar(ids{i}) || ~isrow(ids{i}) || isempty(regexp(ids{i}, '^\d+(_\d+)?$', 'once'))
      error('zelmor:badJob', 'a Slurm job id must be digits, as 123 or 123_4 (got %s)', shown(ids{i}));
    end
  end
end

function text = shown (value)
  if ischar(value) && isrow(value)
    text = ['''', value(1:min(end, 40)), repmat('...', 1, numel(value) > 40), ''''];
  else
    text = sprintf('a %s of size %s', class(value), mat2str(size(value)));
  end
end
