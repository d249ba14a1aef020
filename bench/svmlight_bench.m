% Reading LIBSVM files (bench/svmlight_bench.sh runs it): the four data sets of bench/data, each
% feature scaled to [-1, 1], written by zelmor_write_svmlight and repeated to over 100 MB,
% once with every value's own digits (up to 17) and once rounded to 6 decimals. Each file is
% read by zelmor_read_svmlight and, where the statistics package is installed, by its
% libsvmread, best of three runs each, and the two results compared value for value. Then the
% first file gzip-compressed: read directly, and the other way a reader could go, Octave's
% gunzip into a temporary folder followed by the plain read. Prints MB/s of text (10^6 bytes).
function svmlight_bench (root, work)
  runs = 3;
  names = {'letter', 'satellite', 'shuttle', 'dna'};
  kinds = {'up to 17 digits', '6 decimals'};
  parts = cell(numel(kinds), numel(names));
  for s = 1:numel(names)
    [X, y] = dataSet(root, work, names{s});
    variants = {X, round(X * 1e6) / 1e6};
    for k = 1:numel(kinds)
      file = fullfile(work, sprintf('%s-%d.txt', names{s}, k));
      zelmor_write_svmlight(file, y, variants{k});
      parts{k, s} = readBytes(file);
      delete(file);
    end
  end
  files = cell(1, numel(kinds));
  for k = 1:numel(kinds)
    files{k} = fullfile(work, sprintf('bench-%d.txt', k));
    block = [parts{k, :}];
    fid = fopen(files{k}, 'w');
    for copy = 1:ceil(100e6 / numel(block))
      fwrite(fid, block, 'uint8');
    end
    fclose(fid);
  end
  clear parts block;

  warning('off', 'Octave:shadowed-function');
  haveStatistics = true;
  try
    pkg('load', 'statistics');
  catch
    haveStatistics = false;
  end
  printf('Reading LIBSVM files: %s, best of %d runs each (MB = 10^6 bytes)\n\n', cpuName(), runs);
  printf('| file | MB | examples | features | non-zeros | zelmor_read_svmlight | libsvmread | same values |\n');
  printf('|---|---:|---:|---:|---:|---:|---:|---|\n');
  for k = 1:numel(kinds)
    megabytes = fileBytes(files{k}) / 1e6;
    [ours, y, X] = bestOf(@(f) zelmorRead(f), files{k}, runs);
    theirs = '(not installed)';
    same = '–';
    if haveStatistics
      [seconds, yTheirs, XTheirs] = bestOf(@(f) libsvmreadBoth(f), files{k}, runs);
      theirs = speed(seconds, megabytes);
      same = sameValues(y, X, yTheirs, XTheirs);
      clear yTheirs XTheirs;
    end
    printf('| 4 data sets, %s | %.1f | %d | %d | %d | %s | %s | %s |\n', kinds{k}, megabytes, size(X, 1), ...
           size(X, 2), nnz(X), speed(ours, megabytes), theirs, same);
  end
  if ~haveStatistics
    printf('\nThe statistics package is not installed (Debian: octave-statistics): zelmor''s figures only.\n');
  end

  % gzip: each file in a folder of its own, since Octave's gunzip decompresses beside the .gz
  % and replaces a file of the same name there.
  packed = fullfile(work, 'packed');
  mkdir(packed);
  movefile(files{1}, packed);
  plain = fullfile(packed, 'bench-1.txt');
  megabytes = fileBytes(plain) / 1e6;
  [y, X] = zelmor_read_svmlight(plain);
  if system(sprintf('gzip -6 "%s"', plain)) ~= 0
    error('bench:gzip', 'gzip failed');
  end
  compressed = [plain '.gz'];
  [direct, yZ, XZ] = bestOf(@(f) zelmorRead(f), compressed, runs);
  if ~isequal(y, yZ) || ~isequal(X, XZ)
    error('bench:gzip', 'the gzip file read differently from the plain one');
  end
  clear yZ XZ;
  viaGunzip = bestOf(@(f) gunzipThenRead(f, work), compressed, runs);
  printf('\nThe first file gzip-compressed (level 6, %.1f MB), in MB/s of its text:\n', fileBytes(compressed) / 1e6);
  printf('  zelmor_read_svmlight on the .gz file                              %s\n', speed(direct, megabytes));
  printf('  Octave''s gunzip into a temporary folder, then zelmor_read_svmlight  %s\n', speed(viaGunzip, megabytes));
end

function [X, y] = dataSet (root, work, name)
  % Decompressed in the work folder: gunzip writes beside the file it is given.
  copy = fullfile(work, [name '.csv.gz']);
  copyfile(fullfile(root, 'bench', 'data', [name '.csv.gz']), copy);
  unpacked = gunzip(copy, work);
  data = dlmread(unpacked{1}, ',');
  delete(unpacked{1});
  X = data(:, 1:end - 1);
  y = data(:, end);
  low = min(X, [], 1);
  span = max(X, [], 1) - low;
  span(span == 0) = 1;
  X = 2 * (X - low) ./ span - 1;
end

function [y, X] = zelmorRead (file)
  [y, X] = zelmor_read_svmlight(file);
end

function [y, X] = libsvmreadBoth (file)
  [y, X] = libsvmread(file);
end

function [y, X] = gunzipThenRead (file, work)
  folder = tempname(work);
  mkdir(folder);
  copied = fullfile(folder, 'copy.txt.gz');
  copyfile(file, copied);
  unpacked = gunzip(copied, folder);
  [y, X] = zelmor_read_svmlight(unpacked{1});
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
end

function [seconds, y, X] = bestOf (reader, file, runs)
  seconds = Inf;
  for r = 1:runs
    clear y X;
    started = tic();
    [y, X] = reader(file);
    seconds = min(seconds, toc(started));
  end
end

% Labels, sparsity pattern and every value's bits.
function answer = sameValues (y, X, yOther, XOther)
  [i, j, v] = find(X);
  [iOther, jOther, vOther] = find(XOther);
  bits = @(a) typecast(full(a(:)), 'uint64');
  sameLabels = isequal(bits(y), bits(yOther));
  samePattern = isequal(size(X), size(XOther)) && isequal(i, iOther) && isequal(j, jOther);
  sameNumbers = samePattern && isequal(bits(v), bits(vOther));
  if sameLabels && sameNumbers
    answer = 'yes';
  else
    answer = sprintf('NO (labels the same: %d, non-zeros in the same places: %d, the same values: %d)', ...
                     sameLabels, samePattern, sameNumbers);
  end
end

function text = speed (seconds, megabytes)
  text = sprintf('%.2f s, %.0f MB/s', seconds, megabytes / seconds);
end

function bytes = readBytes (file)
  fid = fopen(file, 'r');
  bytes = fread(fid, Inf, 'uint8=>uint8').';
  fclose(fid);
end

function bytes = fileBytes (file)
  listing = dir(file);
  bytes = listing.bytes;
end

function name = cpuName ()
  name = 'this machine';
  fid = fopen('/proc/cpuinfo', 'r');
  if fid < 0
    return;
  end
  text = fread(fid, Inf, 'char=>char').';
  fclose(fid);
  found = regexp(text, 'model name\s*:\s*([^\n]*)', 'tokens', 'once');
  if ~isempty(found)
    name = strtrim(found{1});
  end
end
