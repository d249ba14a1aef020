%DESCRIBE_SETTING  A kernel setting of the grid in words: 'gamma 0.5', 'degree 3, gamma 0.1' or 'the kernel'.
function text = describe_setting (setting)
  text = '';
  if ~isempty(setting.degree)
    text = sprintf('degree %d, ', setting.degree);
  end
  if ~isempty(setting.gamma)
    text = sprintf('%sgamma %.4g', text, setting.gamma);
  else
    text = 'the kernel';
  end
end
