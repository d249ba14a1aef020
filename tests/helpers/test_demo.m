% The digits demo end to end, drawing into WORKDIR: the progress of zelmor_train, the path
% over beta at the chosen gamma (one cold start, then warm starts, one row marked chosen), a
% 10-by-10 confusion matrix, a test accuracy of 95% or more, and a PNG file.
function test_demo (repoRoot, workDir)
  if ~exist(workDir, 'dir')
    mkdir(workDir);
  end
  figureFile = fullfile(workDir, 'digits_demo.png');
  if exist(figureFile, 'file')
    delete(figureFile);
  end
  output = evalc('run(fullfile(repoRoot, ''examples'', ''digits_demo.m''))');
  printf('%s', output);

  assert(~isempty(regexp(output, '^zelmor_train: chose gamma [^\n]*; [0-9.]+ s$', 'once', 'lineanchors')), ...
         'no progress line for the final fit');
  pathRows = regexp(output, '^([ *]) +[0-9.e+-]+ +[0-9.e+-]+ +(cold|warm) +\d+ ', 'tokens', 'lineanchors');
  assert(numel(pathRows) >= 3, 'the beta path has %d rows', numel(pathRows));
  starts = cellfun(@(row) row{2}, pathRows, 'UniformOutput', false);
  assert(strcmp(starts{1}, 'cold') && all(strcmp(starts(2:end), 'warm')), 'cold first, then warm');
  marks = cellfun(@(row) row{1}, pathRows, 'UniformOutput', false);
  assert(sum(strcmp(marks, '*')) == 1, 'one row of the path is the chosen one');

  confusionRows = regexp(output, '^ +\d( +\d+){10}$', 'match', 'lineanchors');
  assert(numel(confusionRows) == 10, 'the confusion matrix has %d rows', numel(confusionRows));

  accuracy = regexp(output, '^test accuracy: (\d+\.\d)%$', 'tokens', 'once', 'lineanchors');
  assert(~isempty(accuracy), 'no "test accuracy: NN.N%" line');
  assert(str2double(accuracy{1}) >= 95, 'test accuracy %s%% is below 95%%', accuracy{1});

  assert(~isempty(strfind(output, sprintf('figure written to %s', figureFile))));
  fid = fopen(figureFile, 'r');
  assert(fid >= 0, 'no figure at %s', figureFile);
  signature = fread(fid, 8, 'uint8=>uint8').';
  fclose(fid);
  assert(isequal(signature, uint8([137 80 78 71 13 10 26 10])), '%s is not a PNG file', figureFile);
end
