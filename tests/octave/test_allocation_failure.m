% Run under a 3 GB address-space limit: a solve that passes the size check against physical
% memory but cannot get its storage ends in zelmor:outOfMemory, and the session goes on.
try
  zelmor_c2 (1, 1, 1, 2e8);
  error ("test:accepted", "a solve with 2e8 classes got its storage under the limit");
catch err
  assert (err.identifier, "zelmor:outOfMemory");
end
[tau, count] = zelmor_c2 (1, 1, 1, 2);
assert (tau, [0.5, -0.5]);
assert (count, 1);
printf ("failed allocation reported as zelmor:outOfMemory; Octave still answers\n");
