%MAKE_MEX  Build zelmor_c, zelmor_c2, zelmor_engine, zelmor_svmlight and hello with the host's own mex command.
%
%  make_mex
%  make_mex(OUTDIR)
%
%  For MATLAB users without CMake, and for Octave users who prefer it: compiles
%  the MEX functions from the sources that cmake/mex_sources.mk lists (the list
%  CMake and the Octave package build from too) into OUTDIR and copies their
%  help files and the zelmor_* helper functions (inst/) next to them, so that
%  one addpath(OUTDIR) gives every function and `help zelmor_c2` works.
%
%  The solvers' results are defined to the last bit, so the compiler gets the
%  same floating-point flags as the CMake build, from the same list:
%  -std=c++17 -ffp-contract=off -fno-fast-math (no fused multiply-add, no
%  reassociation). A build made here returns the same bits as build/mex from
%  `make`.
%
%  Input:
%    OUTDIR  folder for the MEX files, created when missing; build/make_mex
%            under this file's folder when omitted.
%
%  Needs: Linux, where zelmor is built and tested (elsewhere make_mex stops
%  with zelmor:unsupportedPlatform before compiling anything); in MATLAB, a
%  C++17 compiler chosen with `mex -setup C++` (GCC); in Octave, mkoctfile
%  (Debian: liboctave-dev).
%
%  Errors (identifiers): zelmor:nargin, zelmor:badOutdir,
%    zelmor:unsupportedPlatform, zelmor:unsupportedCompiler; and the mex
%    command's own errors.
%
%  Example:
%    make_mex
%    addpath build/make_mex
%    S = hello([1 4; 2 5; 3 6], ones(3, 2))

function make_mex (outdir)
  root = fileparts(mfilename('fullpath'));
  if nargin > 1
    error('zelmor:nargin', 'make_mex takes at most one input (got %d)', nargin);
  end
  if nargin < 1
    outdir = fullfile(root, 'build', 'make_mex');
  end
  if ~ischar(outdir) || isempty(outdir)
    error('zelmor:badOutdir', 'OUTDIR must be a folder name');
  end
  % The gateways ask POSIX for the machine's memory, which Windows does not have, and no build
  % has ever been made on macOS: both are refused rather than left to fail or pass untried.
  if ~isunix() || ismac()
    error('zelmor:unsupportedPlatform', ['zelmor builds on Linux only, where it is built and tested ' ...
                                         '(this is %s); see the README''s MATLAB section'], computer());
  end
  if ~exist(outdir, 'dir')
    [created, message] = mkdir(outdir);
    if ~created
      error('zelmor:badOutdir', 'cannot create %s: %s', outdir, message);
    end
  end

  % What each MEX file is built from, and the flags they all need: the list CMake and the
  % Octave package read too.
  build = readSourceList(fullfile(root, 'cmake', 'mex_sources.mk'));
  names = build.MEX_FILES;
  includes = strcat('-I', fullfile(root, build.INCLUDE_DIRS));
  gatewayDir = fullfile(root, 'gateways');

  if exist('OCTAVE_VERSION', 'builtin')
    % mkoctfile takes its compiler flags from the environment; put them back afterwards.
    flags = strjoin([build.EXACT_FLAGS, build.OCTAVE_FLAGS], ' ');
    savedFlags = getenv('CXXFLAGS');
    restoreFlags = onCleanup(@() setenv('CXXFLAGS', savedFlags));
    setenv('CXXFLAGS', [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' ' flags]);
    for t = 1:numel(names)
      fprintf('make_mex: building %s\n', names{t});
      sources = fullfile(root, sourcesOf(build, names{t}));
      % ZELMOR_HOST_* tells the host adapter how to ask whether Ctrl-C is pending.
      mex('-o', fullfile(outdir, [names{t} '.mex']), '-DZELMOR_HOST_OCTAVE', includes{:}, sources{:});
    end
  else
    compiler = mex.getCompilerConfigurations('C++', 'Selected');
    if isempty(compiler)
      error('zelmor:unsupportedCompiler', 'no C++ compiler is selected: run `mex -setup C++` first');
    end
    flags = strjoin([build.EXACT_FLAGS, build.MATLAB_FLAGS], ' ');
    for t = 1:numel(names)
      fprintf('make_mex: building %s\n', names{t});
      sources = fullfile(root, sourcesOf(build, names{t}));
      % libut answers whether Ctrl-C is pending.
      mex('-R2018a', '-outdir', outdir, '-output', names{t}, '-DZELMOR_HOST_MATLAB', includes{:}, ...
          ['CXXFLAGS="$CXXFLAGS ' flags '"'], sources{:}, '-lut');
    end
  end

  helpFiles = [strcat(gatewayDir, filesep, names(:), '.m'); ...
               listFiles(fullfile(root, 'inst'), 'zelmor_*.m')];
  for f = 1:numel(helpFiles)
    copied = copyfile(helpFiles{f}, outdir);
    if ~copied
      error('zelmor:badOutdir', 'cannot copy %s into %s', helpFiles{f}, outdir);
    end
  end
  % The helpers' private functions, which only they can call.
  privateFiles = listFiles(fullfile(root, 'inst', 'private'), '*.m');
  privateDir = fullfile(outdir, 'private');
  if ~isempty(privateFiles) && ~exist(privateDir, 'dir') && ~mkdir(privateDir)
    error('zelmor:badOutdir', 'cannot create %s', privateDir);
  end
  for f = 1:numel(privateFiles)
    if ~copyfile(privateFiles{f}, privateDir)
      error('zelmor:badOutdir', 'cannot copy %s into %s', privateFiles{f}, privateDir);
    end
  end
  fprintf('make_mex: done; use them with addpath(''%s'')\n', outdir);
end

% The list's `NAME = words` lines as a struct of cell rows of words.
function build = readSourceList (file)
  lines = regexp(fileread(file), '^([A-Za-z_0-9]+) *= *([^\n]*)$', 'tokens', 'lineanchors');
  build = struct();
  for i = 1:numel(lines)
    build.(lines{i}{1}) = regexp(lines{i}{2}, '\S+', 'match');
  end
end

% A MEX file's own sources, the host adapter, then the sources of its libraries.
function sources = sourcesOf (build, name)
  sources = [build.([name '_SOURCES']), build.HOST_SOURCES];
  libraries = build.([name '_LIBRARIES']);
  for l = 1:numel(libraries)
    sources = [sources, build.([libraries{l} '_SOURCES'])];
  end
end

function files = listFiles (folder, pattern)
  listing = dir(fullfile(folder, pattern));
  files = sort(strcat(folder, filesep, {listing.name}.'));
end
