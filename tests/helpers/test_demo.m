% The digits demo end to end, drawing into WORKDIR: the per-beta table (one cold start,
% then warm starts), a 10-by-10 confusion matrix, a test accuracy of 95% or more, and a
% PNG file.
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

  pathRows = regexp(output, '^[ *] +[0-9.]+ +(cold|warm) +\d+ ', 'tokens', 'lineanchors');
  starts = cellfun(@(row) row{1}, pathRows, 'UniformOutput', false);
  assert(numel(starts) >= 3, 'the beta path has %d rows', numel(starts));
  assert(strcmp(starts{1}, 'cold') && all(strcmp(starts(2:end), 'warm')), 'cold first, then warm');

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
