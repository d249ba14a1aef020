%MODIFIED_TIME  When a file was last written, as a serial date number of this machine's clock.
%
%  WHEN = modified_time(FILE)
%
%  FILE is read as a name, not a pattern: dir() would take *, ? and [ in any folder of its
%  path as wildcards, and find other files, or none. Octave asks stat; MATLAB takes * as its
%  only wildcard, which matches itself, so of dir's answers the one of this very name is kept.
%  NaN when the file is not there.

function when = modified_time (file)
  when = NaN;
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    [info, failed] = stat(file);
    if failed == 0
      t = localtime(info.mtime);
      when = datenum(t.year + 1900, t.mon + 1, t.mday, t.hour, t.min, t.sec + t.usec / 1e6);
    end
    return
  end
  [folder, name, extension] = fileparts(file);
  listing = dir(file);
  listing = listing(strcmp({listing.folder}, folder) & strcmp({listing.name}, [name, extension]));
  if isscalar(listing)
    when = listing.datenum;
  end
end
