% hello prints the first matrix and the sum row by row, each number as "%f ", and returns the
% sum; only the first six elements of each input count.
1;

function check_hello (a, b, expected_text, expected_sum, what)
  text = evalc ("result = hello (a, b);");
  if (! strcmp (text, expected_text))
    error ("%s: printed %s, expected %s", what, undo_string_escapes (text), undo_string_escapes (expected_text));
  end
  assert (result, expected_sum, 0);
end

a = [1, 4; 2, 5; 3, 6];
b = ones(3, 2);
expected_text = ["1.000000 4.000000 \n", "2.000000 5.000000 \n", "3.000000 6.000000 \n", ...
                 "2.000000 5.000000 \n", "3.000000 6.000000 \n", "4.000000 7.000000 \n"];
expected_sum = [2, 5; 3, 6; 4, 7];

% a, b, text, sum, what
cases = {
  a, b, expected_text, expected_sum, "3x2 inputs"
  a(:)', b(:), expected_text, expected_sum, "row and column vectors"
  [a(:); 99; -7], [b(:)', 5], expected_text, expected_sum, "extra elements ignored"
  reshape([a(:); 0; 0], 2, 4), reshape([b(:); 1; 1; 1], 3, 3), expected_text, expected_sum, "other 2-D shapes"
  [-0.5, 1e-7; 0, 2^40; -3, 123.4567891], zeros(3, 2), ...
      ["-0.500000 0.000000 \n", "0.000000 1099511627776.000000 \n", "-3.000000 123.456789 \n", ...
       "-0.500000 0.000000 \n", "0.000000 1099511627776.000000 \n", "-3.000000 123.456789 \n"], ...
      [-0.5, 1e-7; 0, 2^40; -3, 123.4567891], "%f rounding and large values"
};
for row = 1:rows (cases)
  check_hello (cases{row, :});
end
printf ("%d hello cases print and return as expected\n", rows (cases));
