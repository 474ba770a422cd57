function hostile_read(listFile, searchFolder)
% Reads each file that LISTFILE names with quarvel_read, for the
% hostile-input suite (tests/hostile.py), and prints one line per file:
% "ok BLOCKS SAMPLES", or "error IDENTIFIER" when quarvel_read raised an
% error. The names in LISTFILE end in a NUL byte each, so that any name the
% system allows can be given. SEARCHFOLDER, when not empty, is a folder of
% the current folder to put on the search path first.

if ~isempty(searchFolder)
    addpath([pwd() filesep() searchFolder]);
end
f = fopen(listFile, 'r');
list = fread(f, Inf, 'uint8=>char')';
fclose(f);
ends = [0, find(list == char(0))];
for k = 1:numel(ends) - 1
    name = list(ends(k) + 1:ends(k + 1) - 1);
    try
        blocks = quarvel_read(name);
        printf('ok %d %d\n', numel(blocks), numel(vertcat(blocks.raw)));
    catch err
        printf('error %s\n', err.identifier);
    end
end
end
