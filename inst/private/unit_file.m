%UNIT_FILE  Where the result of a unit (kernel setting, fold) of a cluster search lives in its folder.
function file = unit_file (folder, unit)
  file = fullfile(folder, 'results', sprintf('unit-%d-%d.mat', unit(1), unit(2)));
end
