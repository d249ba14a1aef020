% Nothing in this file may be found: each line is MATLAB as well as Octave, with the tokens
% of octave_only.m in comments (# ! printf), strings, fields and transposes.
function y = matlab_too (x)   % a comment with # and ! and printf("x")
  y = x';
  z = x.';
  w = [x' 'str'];
  s.rows = 1;
  t = s.rows + z + w + t;
  f = @(v) (v + 1);
  q = {'it''s', 'a # b', 'c != d', 'x++'};
  if x ~= 2 && x >= 1 && x <= 3
    y = -y;
  end
  g = f(1) - 1;
  h = [f(1) (2)];
  e = 'printf("x")';
  fprintf('%d\n', numel(x), q, g, h, e); % ...
  m = x(end)' + ...
      1;
end
