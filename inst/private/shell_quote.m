%SHELL_QUOTE  TEXT as one word of a POSIX shell command line, in single quotes.
function quoted = shell_quote (text)
  quoted = ['''', strrep(text, '''', '''\'''''), ''''];
end
