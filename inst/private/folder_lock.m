%FOLDER_LOCK  Holds the lock of a search's folder while one session changes its records.
%
%  RELEASE = folder_lock(FOLDER, PATIENCE)
%
%  The lock is the folder FOLDER/lock: mkdir either makes it or finds it there, in one step
%  on every file system, so of two sessions (on any machines) exactly one holds it. A session
%  that finds it held tries again for PATIENCE seconds (0: not at all), then raises
%  zelmor:folderInUse. RELEASE is an onCleanup object: the lock is given back when it is
%  cleared, also by an error or Ctrl-C. A session that was killed while holding it leaves it
%  behind; the message says so.
%  Errors (identifiers): zelmor:folderInUse, zelmor:folderNotWritable (no folder to lock).

function release = folder_lock (folder, patience)
  lock = fullfile(folder, 'lock');
  started = tic();
  while true
    [made, message] = mkdir(lock);
    % An existing folder is reported as made, with a message.
    if made && isempty(message)
      break
    end
    if ~exist(folder, 'dir')
      error('zelmor:folderNotWritable', 'cannot lock the folder %s: it does not exist', folder);
    end
    if ~made && ~exist(lock, 'dir')
      error('zelmor:folderNotWritable', 'cannot lock the folder %s: %s', folder, message);
    end
    if toc(started) >= patience
      error('zelmor:folderInUse', ['another session is changing the search in %s (it holds %s): wait for it, ' ...
                                   'or, if no session is, remove %s'], folder, lock, lock);
    end
    pause(0.05);
  end
  release = onCleanup(@() rmdir(lock));
end
