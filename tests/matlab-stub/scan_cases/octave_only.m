x = 1; # every line of this file holds one token the scan must find
if x != 2
y++;
y += 1;
z = 2 ** 3;
a = [1, 2, 3] + \
endif
unwind_protect
do
until x
s = size(x)(1);
printf('%d\n', 3);
n = rows(x);
disp("text");
fflush(stdout);
v = __octave_config_info__();
k = nproc();
