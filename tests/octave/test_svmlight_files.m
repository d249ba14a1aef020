% LIBSVM files through the real host (tests/formats has every refused form): malformed files are
% refused with their identifier and a message that names the file, the line and what was
% expected there; gzip files cut short or corrupt are refused; X and y written and read back
% keep every bit; files that are missing, folders or unreadable, and direct calls of the
% gateway that break its rules, are refused; and the session goes on answering after it all.
1;

function outcome = raised (call)
  outcome = {'', ''};
  try
    call ();
  catch err
    outcome = {err.identifier, err.message};
  end
end

function write_bytes (file, bytes)
  fid = fopen (file, 'w');
  fwrite (fid, bytes, 'uint8');
  fclose (fid);
end

function bytes = read_bytes (file)
  fid = fopen (file, 'r');
  bytes = fread (fid, Inf, 'uint8=>uint8').';
  fclose (fid);
end

function file = gzipped (folder, name, text)
  plain = fullfile (folder, name);
  write_bytes (plain, text);
  % The gzip program itself: Octave's gzip function leaks a little, which make test-sanitize reports.
  assert (system (sprintf ('gzip -n "%s"', plain)) == 0);
  file = [plain '.gz'];
end

function remove_folder (folder)
  confirm_recursive_rmdir (false, 'local');
  rmdir (folder, 's');
end

folder = tempname ();
mkdir (folder);
cleanup = onCleanup (@() remove_folder (folder));

eleven = repmat (sprintf ('1 1:0.5 3:2\n'), 1, 11);
whole = sprintf ('%d 2:%d 5:0.125\n', [1:4000; 4001:8000]);
compressed = read_bytes (gzipped (folder, 'whole.txt', whole));
cut = compressed(1:floor (end / 2));
% A bit of the trailer's CRC-32 flipped: the text decompresses whole but is not what was stored.
corrupt = compressed;
corrupt(end - 7) = bitxor (corrupt(end - 7), uint8 (16));

% what, the file's bytes, options, identifier, pieces of the message after the file's name
cases = {
  'not INDEX:VALUE', [eleven sprintf('2 x:1\n')], {}, 'zelmor:badSvmlightFile', ...
      {'line 12: expected INDEX:VALUE after the label, got ''x:1'''}
  'a label with a colon', sprintf('1: 2:1\n'), {}, 'zelmor:badSvmlightFile', ...
      {'line 1: expected a number as the label, got ''1:'''}
  'a huge index', sprintf('1 99999999999999999999:1\n'), {}, 'zelmor:badSvmlightFile', ...
      {'feature index ''99999999999999999999'' is larger than 2147483647'}
  'indices going down', sprintf('1 1:1\r\n2 4:1 2:1\r\n'), {}, 'zelmor:badSvmlightFile', ...
      {'line 2: feature indices must increase along a line, got 2 after 4'}
  'a value beyond a double', sprintf('1 3:1e400\n'), {}, 'zelmor:badSvmlightFile', ...
      {'line 1: the value ''1e400'' of feature 3 is beyond the range of a double'}
  'a NUL byte', ['1 1:1' char(0) ' 2:1' char(10)], {}, 'zelmor:badSvmlightFile', {'''1\x00'''}
  'one token of 10 MB', ['1 1:' repmat('7', 1, 1e7)], {}, 'zelmor:badSvmlightFile', ...
      {'line 1: a label or INDEX:VALUE pair longer than 4096 characters'}
  'gzip cut short', cut, {}, 'zelmor:badSvmlightFile', {'the gzip data end early', 'after line '}
  'gzip corrupt', corrupt, {}, 'zelmor:badSvmlightFile', {'the gzip data are corrupt: the CRC-32'}
  'an index beyond Features', sprintf('1 1:1\n2 4:1\n'), {'Features', 3}, 'zelmor:featureMismatch', ...
      {'line 2: feature index 4 is beyond the 3 features asked for'}
};
for c = 1:rows (cases)
  [what, bytes, options, id, pieces] = cases{c, :};
  file = fullfile (folder, sprintf ('case%d.txt', c));
  write_bytes (file, bytes);
  outcome = raised (@() zelmor_read_svmlight (file, options{:}));
  assert (strcmp (outcome{1}, id), '%s: raised ''%s'' (%s), expected %s', what, outcome{1}, outcome{2}, id);
  assert (! isempty (strfind (outcome{2}, [file ': '])), '%s: the message does not name the file: %s', what, outcome{2});
  for p = 1:numel (pieces)
    assert (! isempty (strfind (outcome{2}, pieces{p})), '%s: ''%s'' is not in: %s', what, pieces{p}, outcome{2});
  end
end

% Accepted: the gzip file whole, and the shapes of what comes back.
[y, X] = zelmor_read_svmlight (gzipped (folder, 'again.txt', whole));
assert (isequal (y, (1:4000).') && issparse (X) && isequal (size (X), [4000 5]));
assert (isequal (full (X(:, 2)), (4001:8000).') && all (X(:, 5) == 0.125) && nnz (X) == 8000);
write_bytes (fullfile (folder, 'empty.txt'), '');
[y, X] = zelmor_read_svmlight (fullfile (folder, 'empty.txt'));
assert (isequal (size (y), [0 1]) && isequal (size (X), [0 0]) && issparse (X) && isa (X, 'double'));
[~, X] = zelmor_read_svmlight (fullfile (folder, 'empty.txt'), 'Features', 4);
assert (isequal (size (X), [0 4]));

% Written and read back, bit for bit: labels of every kind, -0 among them; values from the
% smallest subnormal to the largest double, infinities and NaN of either sign. A -0 in X is
% a zero, not written, and comes back as +0.
special = [pow2(-1074), -pow2(-1074), 3 * pow2(-1074), realmin, realmin / 3, realmax, -realmax, ...
           1e-310, 0.1, 1/3, pi * 1e300, -2.5e-300, Inf, -Inf, NaN, -NaN, 2^53 + 2, -0];
rand ('state', 3);
n = 300;
d = 40;
X = zeros (n, d);
mask = rand (n, d) < 0.3;
X(mask) = (rand (nnz (mask), 1) - 0.5) .* 10 .^ round (60 * (rand (nnz (mask), 1) - 0.5));
X(1:numel (special)) = special;
X(end, :) = 0;
y = [-0; 1e17; -3; 0.5; NaN; round(1000 * randn(n - 5, 1))];
expected = X;
expected(expected == 0) = 0;
for input = {X, sparse(X)}
  file = fullfile (folder, 'round.txt');
  zelmor_write_svmlight (file, y, input{1});
  [yBack, XBack] = zelmor_read_svmlight (file, 'Features', d);
  assert (same_bits (yBack, y), 'the labels did not come back to the bit');
  assert (same_bits (full (XBack), expected), 'X did not come back to the bit');
  assert (nnz (XBack) == nnz (X));
end
text = fileread (file);
assert (strncmp (text, '-0 ', 3) && ! isempty (strfind (text, sprintf ('\n100000000000000000 '))));
assert (! isempty (strfind (text, ':4.94065645841247e-324')) && ! isempty (strfind (text, ':-inf')));

% One warning for a file, however many qid: pairs it holds.
ranking = fullfile (folder, 'ranking.txt');
write_bytes (ranking, sprintf ('2 qid:1 1:1\n1 qid:1 1:0.5\n3 qid:2 2:1\n'));
printed = evalc ('[y, X] = zelmor_read_svmlight (ranking);');
assert (numel (strfind (printed, 'qid: pairs are ignored (the first is on line 1)')) == 1, ...
        'not one warning about qid: %s', printed);
assert (isequal (y, [2; 1; 3]) && isequal (full (X), [1 0; 0.5 0; 0 1]));

% Files that cannot be read, and those that cannot be written.
assert (strcmp (raised (@() zelmor_read_svmlight (fullfile (folder, 'none.txt'))){1}, 'zelmor:fileNotFound'));
assert (strcmp (raised (@() zelmor_read_svmlight (folder)){1}, 'zelmor:notAFile'));
if exist ('/proc/self/mem', 'file')
  outcome = raised (@() zelmor_read_svmlight ('/proc/self/mem'));
  assert (strcmp (outcome{1}, 'zelmor:fileNotReadable'), '%s: %s', outcome{:});
end
[~, uid] = system ('id -u');
if ! strcmp (strtrim (uid), '0')
  locked = fullfile (folder, 'locked.txt');
  write_bytes (locked, sprintf ('1 1:1\n'));
  chmod_status = system (sprintf ('chmod 000 ''%s''', locked));
  assert (chmod_status == 0);
  assert (strcmp (raised (@() zelmor_read_svmlight (locked)){1}, 'zelmor:fileNotReadable'));
end
assert (strcmp (raised (@() zelmor_write_svmlight (folder, 1, 1)){1}, 'zelmor:fileNotWritable'));

% An X wider than the machine could hold is refused before it is asked for: its column starts
% alone take 16 GB, twice over while the host takes the result.
meminfo = fileread ('/proc/meminfo');
total_kb = sscanf (meminfo(strfind (meminfo, 'MemTotal:') + 9:end), '%d', 1);
if total_kb < 32e6
  outcome = raised (@() zelmor_read_svmlight (fullfile (folder, 'empty.txt'), 'Features', 2147483647));
  assert (strcmp (outcome{1}, 'zelmor:outOfMemory'), '%s: %s', outcome{:});
end

% The gateway itself, called as the helpers never call it.
small = fullfile (folder, 'small.txt');
write_bytes (small, sprintf ('1 1:1\n'));
gateway_cases = {
  'no input',               {},                                  0, 'zelmor:nargin'
  'an unknown command',     {'fly'},                             0, 'zelmor:badInput'
  'a number for a command', {3, small, -1},                      0, 'zelmor:badInput'
  'read without FEATURES',  {'read', small},                     2, 'zelmor:nargin'
  'read, four outputs',     {'read', small, -1},                 4, 'zelmor:nargout'
  'a name that is a number', {'read', 42, -1},                   2, 'zelmor:badFileName'
  'a name of two rows',     {'read', ['ab'; 'cd'], -1},          2, 'zelmor:badFileName'
  'FEATURES as text',       {'read', small, 'x'},                2, 'zelmor:notRealDouble'
  'FEATURES a fraction',    {'read', small, 1.5},                2, 'zelmor:badInput'
  'FEATURES NaN',           {'read', small, NaN},                2, 'zelmor:badInput'
  'FEATURES too large',     {'read', small, 2^31},               2, 'zelmor:badInput'
  'write, an output',       {'write', small, 1, 1},              1, 'zelmor:nargout'
  'write, labels single',   {'write', small, single(1), 1},      0, 'zelmor:notRealDouble'
  'write, X complex',       {'write', small, 1, 1i},             0, 'zelmor:notRealDouble'
  'write, X logical',       {'write', small, 1, true},           0, 'zelmor:notRealDouble'
  'write, X with 3 dims',   {'write', small, 1, ones(1, 1, 2)},  0, 'zelmor:notRealDouble'
  'write, rows and labels', {'write', small, [1 2], 1},          0, 'zelmor:sizeMismatch'
};
for c = 1:rows (gateway_cases)
  [what, args, outputs, id] = gateway_cases{c, :};
  got = '';
  try
    if outputs == 0
      zelmor_svmlight (args{:});
    else
      out = cell (1, outputs);
      [out{:}] = zelmor_svmlight (args{:});
    end
  catch err
    got = err.identifier;
  end
  assert (strcmp (got, id), 'gateway, %s: raised ''%s'', expected %s', what, got, id);
end

% After all of it the session still reads a file.
[y, X] = zelmor_read_svmlight (small);
assert (isequal (y, 1) && isequal (full (X), 1));
printf ('%d refused files, %d refused gateway calls, the round trip and the file errors: passed\n', ...
        rows (cases), rows (gateway_cases));
