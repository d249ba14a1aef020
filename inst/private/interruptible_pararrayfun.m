%INTERRUPTIBLE_PARARRAYFUN  pararrayfun that Ctrl-C stops, workers included.
%
%  [A, B, ...] = interruptible_pararrayfun(NPROC, FUN, ARRAYS..., OPTIONS...)
%
%  The parallel package's pararrayfun, same inputs and outputs, for helpers that
%  hand long solves to workers. In a terminal, Ctrl-C reaches every process of
%  the foreground group: the workers, whose solves stop at once and which then
%  exit, and this process, where the package takes the signal for itself: it
%  reports "could not receive result", or, while it hands the job to its
%  workers, starts new ones and carries on as if nothing had happened.
%
%  Here a watcher process in the same group notes the Ctrl-C in a file. Jobs
%  that start after it fail at once; once pararrayfun is back, its workers are
%  shut down and Octave's own interrupt is raised, so the call ends as any
%  interrupted command does: no output assigned, back at the prompt, not caught
%  by try/catch. Without a POSIX shell (Windows), it is pararrayfun itself.

function varargout = interruptible_pararrayfun (nproc, fun, varargin)
  outputCount = max(nargout, 1);
  marker = [tempname() '-interrupted'];
  watcher = startWatcher(marker);
  if watcher < 0
    [varargout{1:outputCount}] = pararrayfun(nproc, fun, varargin{:});
    return;
  end

  % Workers restarted by the package after a Ctrl-C would otherwise run the whole job.
  jobs = {@(varargin) error('zelmor:interrupted', 'interrupted by Ctrl-C'), fun};
  guarded = @(varargin) feval(jobs{1 + ~isfile(marker)}, varargin{:});
  results = cell(1, outputCount);
  failure = [];
  interrupted = false;
  unwind_protect
    try
      [results{:}] = pararrayfun(nproc, guarded, varargin{:});
    catch failure
    end
  unwind_protect_cleanup
    % Also where Octave took the Ctrl-C itself and is unwinding already. A watcher that has
    % exited met Ctrl-C before its trap was set.
    interrupted = isfile(marker) || waitpid(watcher, WNOHANG()) ~= 0;
    kill(watcher, SIG().TERM);
    waitpid(watcher);
    if isfile(marker)
      delete(marker);
    end
    if interrupted
      % Workers the package restarted are idle now; the ones Ctrl-C reached are gone.
      parcellfun_set_nproc(0);
    end
  end_unwind_protect

  if interrupted
    % Octave takes signals on a thread of its own: the pause lets the interrupt land. Now and
    % then (twice in about eighty terminal runs) the first one had not within a second, and
    % the call ended in a catchable error; a second signal and a longer wait come first now.
    for delay = [1 2]
      kill(getpid(), SIG().INT);
      pause(delay);
    end
    error('zelmor:interrupted', 'interrupted by Ctrl-C');
  end
  if ~isempty(failure)
    rethrow(failure);
  end
  varargout = results;
end

% A shell in this process's group that writes MARKER at Ctrl-C; its process id, or -1.
% It is system's child: popen2's inherits the signals Octave blocks on this thread, Ctrl-C
% among them. The shell waits on a background sleep, since a signal interrupts the wait at
% once, and stops that sleep when told to end; it also ends by itself once Octave is gone.
function watcher = startWatcher (marker)
  watcher = -1;
  if ispc()
    return;
  end
  quoted = ['''' strrep(marker, '''', '''\''''') ''''];
  watch = sprintf(['m=%s; trap ''echo > "$m"'' INT; trap ''kill $! 2>/dev/null; exit 0'' TERM; ' ...
                   'while kill -0 $PPID 2>/dev/null; do sleep 1 & wait $!; done'], quoted);
  try
    watcher = system(watch, false, 'async');
  catch
    watcher = -1;
  end
end
