%ENGINE_KERNEL  A kernel setting's parameters as the engine takes them.
%
%  [GAMMA, DEGREE, OFFSET] = engine_kernel(SETTING)
%
%  SETTING has the fields gamma, degree and offset, as a grid setting or a model holds them:
%  [] where the kernel type has no such parameter. The engine takes all three for every type
%  and reads those of its type alone; the others go as 1, 1 and 0.

function [gamma, degree, offset] = engine_kernel (setting)
  [gamma, degree, offset] = deal(1, 1, 0);
  if ~isempty(setting.gamma)
    gamma = setting.gamma;
  end
  if ~isempty(setting.degree)
    degree = setting.degree;
  end
  if ~isempty(setting.offset)
    offset = setting.offset;
  end
end
