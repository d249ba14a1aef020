%THREAD_COUNT  The engine's thread count from the helpers' options.
%
%  THREADS = thread_count(OPTIONS)
%
%  OPTIONS holds the checked fields threads ([] when not given), parallel and, where the
%  helper takes it, workers. 'Threads' decides; else 'Workers'; else 'Parallel' 'serial' means
%  one thread; otherwise 0, which the engine reads as every core.

function threads = thread_count (options)
  threads = 0;
  if isfield(options, 'workers') && ~isempty(options.workers)
    threads = options.workers;
  end
  if strcmp(options.parallel, 'serial')
    threads = 1;
  end
  if ~isempty(options.threads)
    threads = options.threads;
  end
end
