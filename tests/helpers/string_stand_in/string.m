% Octave has no string class: this stand-in gives test_string_inputs one that answers what
% the helpers ask of a MATLAB string scalar (isa 'string', isscalar, ismissing, char) and is
% not char, as "rbf" is not in MATLAB.
classdef string
  properties (Access = private)
    text
  end
  methods
    function s = string (text)
      s.text = text;
    end
    function c = char (s)
      c = s.text;
    end
    function tf = ismissing (s)
      tf = false;
    end
  end
end
