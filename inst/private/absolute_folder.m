%ABSOLUTE_FOLDER  The name of a search's folder, checked, as an absolute path.
%
%  FOLDER = absolute_folder(FOLDER, ID, NAME)
%
%  FOLDER must be text (a char row or a string scalar) without a NUL character, which no file
%  name can hold. A leading ~ stands for the home folder (HOME), and a relative name is taken
%  from the current folder: the name then means the same to every node and every later
%  session. Anything else raises ID, naming the input as NAME.

function folder = absolute_folder (folder, id, name)
  folder = as_char(folder);
  if ~ischar(folder) || isempty(folder) || ~isrow(folder)
    error(id, '%s must be the name of a folder, as text (got a %s of size %s)', name, class(folder), ...
          mat2str(size(folder)));
  end
  if any(folder == 0)
    error(id, '%s holds a NUL character, which no file name can', name);
  end
  if strcmp(folder, '~') || strncmp(folder, '~/', 2)
    home = getenv('HOME');
    if isempty(home)
      error(id, '%s starts with ~, but HOME is not set: give the full path', name);
    end
    folder = [home, folder(2:end)];
  elseif folder(1) == '~'
    error(id, '%s, %s, names another user''s home: give its full path', name, folder);
  end
  if folder(1) ~= '/' && isempty(regexp(folder, '^[A-Za-z]:[\\/]', 'once'))
    folder = fullfile(pwd(), folder);
  end
end
