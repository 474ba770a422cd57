function bench_quarvel_read(binary, samples, runs, other)
%BENCH_QUARVEL_READ  Time quarvel_read against reading the text files.
%   BENCH_QUARVEL_READ(BINARY) writes a log like the big file of quarvel's
%   benchmark (8,389,608 samples in 8 blocks: noisy waves, periods of 1 to
%   8 ms, a calibration per block) and times, side by side, five
%   times each, in seconds of CPU time (user + system, which a busy
%   machine disturbs less than wall-clock time):
%
%     quarvel_read    quarvel_read(LOG): raw counts, values and times
%     fread           fread(f, Inf, 'int16=>int16', 0, 'ieee-be') of the
%                     whole file: reading the samples at all, the floor
%     text route      BINARY -q -t LOG, then textscan of its text
%
%   and prints the medians and their ratios. For scale it also times the
%   fread floor plus filling new arrays of the size of quarvel_read's
%   values (single) and times (double), the memory quarvel_read must
%   write: seven times the bytes of the samples. And it times
%   quarvel_read on a log of many small blocks (131,072 blocks of 64
%   samples), which it reads a group of blocks at a time.
%   BENCH_QUARVEL_READ(BINARY, SAMPLES, RUNS) sets the big log's size and
%   the number of runs.
%   BENCH_QUARVEL_READ(BINARY, SAMPLES, RUNS, OTHER) also times OTHER, the
%   name of a function called as quarvel_read is (say, a copy of an older
%   quarvel_read), on both logs in the same runs: before and after a
%   change, side by side.
%
%   The logs come from the campaign of python/tests/logbuilder.py, run by
%   the Python 3 with numpy that QUARVEL_PYTHON names (python3 by default).
%
%   Run from the top of the source tree:
%     QUARVEL_PYTHON=/usr/bin/python3 octave --no-gui --eval \
%       "addpath('matlab', 'matlab/bench'); bench_quarvel_read('build/quarvel')"

if nargin < 2
    samples = 8389608;
end
if nargin < 3
    runs = 5;
end
if nargin < 4
    other = '';
end
folder = tempname();
mkdir(folder);
cleanup = onCleanup(@() removeFolder(folder));
[log, small] = writeLogs(folder, samples);
fprintf('log: %d samples in 8 blocks, %.1f MB\n', samples, fileInfoBytes(log) / 1e6);

names = {'quarvel_read', 'fread', 'text route', '  converter', '  textscan', 'fread + output', 'small blocks'};
readers = {'quarvel_read'};
if ~isempty(other)
    names = [names, {other, [other ', small']}];
    readers{2} = other;
end
bigColumn = [1 8];
smallColumn = [7 9];
seconds = zeros(runs, numel(names));
for r = 1:runs  % all in turn, so that the machine's load hits all alike
    % With OTHER, the two readers take turns at going first.
    order = circshift(1:numel(readers), [0, r]);
    for k = order
        start = cputime();
        bigBlocks{k} = feval(readers{k}, log);
        seconds(r, bigColumn(k)) = cputime() - start;
    end
    start = cputime();
    f = fopen(log, 'r');
    counts = fread(f, Inf, 'int16=>int16', 0, 'ieee-be');
    fclose(f);
    seconds(r, 2) = cputime() - start;
    seconds(r, 4) = converterSeconds(binary, log);
    start = cputime();
    f = fopen([log '.txt'], 'r');
    columns = textscan(f, '%f %f', 'Delimiter', ',', 'CommentStyle', '%');
    fclose(f);
    seconds(r, 5) = cputime() - start;
    seconds(r, 3) = seconds(r, 4) + seconds(r, 5);
    start = cputime();
    f = fopen(log, 'r');
    counts = fread(f, Inf, 'int16=>int16', 0, 'ieee-be');
    fclose(f);
    output = arrayfun(@(b) {ones(numel(b.raw), 1, 'single'), ones(numel(b.raw), 1)}, bigBlocks{1}, 'UniformOutput', false);
    seconds(r, 6) = cputime() - start;
    clear output;
    for k = order
        start = cputime();
        smallBlocks{k} = feval(readers{k}, small);
        seconds(r, smallColumn(k)) = cputime() - start;
    end
    if numel(readers) > 1 && ~(sameFields(bigBlocks{:}) && sameFields(smallBlocks{:}))
        error('bench:check', '%s and quarvel_read disagree', other);
    end
end
% The three read the same samples.
blocks = bigBlocks{1};
if numel(vertcat(blocks.values)) ~= samples || numel(columns{2}) ~= samples || numel(counts) ~= samples + 8 * 12
    error('bench:check', 'the readers disagree on the number of samples');
end

medians = median(seconds, 1);
fprintf('%-24s %10s\n', 'reader', 'median CPU s');
for k = 1:numel(names)
    fprintf('%-24s %10.3f\n', names{k}, medians(k));
end
fprintf('quarvel_read: %.1fx less time than the text route, %.2fx the fread floor, %.2fx fread + output\n', ...
    medians(3) / medians(1), medians(1) / medians(2), medians(1) / medians(6));
if ~isempty(other)
    fprintf('%s: %.2fx the fread floor; small blocks %.2fx quarvel_read''s time\n', ...
        other, medians(8) / medians(2), medians(9) / medians(7));
end
end

function [big, small] = writeLogs(folder, samples)
% The two logs, by the campaign of python/tests/logbuilder.py, run by the
% Python 3 (with numpy) that QUARVEL_PYTHON names, python3 by default.
python = getenv('QUARVEL_PYTHON');
if isempty(python)
    python = 'python3';
end
generator = fullfile(fileparts(mfilename('fullpath')), '..', '..', 'python', 'tests', 'logbuilder.py');
command = sprintf('''%s'' ''%s'' campaign ''%s'' --varied 0 --logs 1 --samples %d --blocks 8 --headers 131072 --header-samples 64', ...
    python, generator, folder, samples);
[status, out] = system([command ' 2>&1']);
if status ~= 0
    error('bench:logs', 'the logs could not be written: %s', out);
end
big = fullfile(folder, 'big', '0000.002');
small = fullfile(folder, 'headers', '0000.002');
end

function seconds = converterSeconds(binary, log)
% The converter's CPU time, as bash's time reports it.
command = 'TIMEFORMAT="%3U %3S"; time "$0" -q -t "$1"';
[status, out] = system(sprintf('bash -c ''%s'' ''%s'' ''%s'' 2>&1', command, binary, log));
times = sscanf(out, '%f %f');
if status ~= 0 || numel(times) ~= 2
    error('bench:converter', 'the converter failed: %s', out);
end
seconds = sum(times);
end

function bytes = fileInfoBytes(path)
f = fopen(path, 'r');
fseek(f, 0, 'eof');
bytes = ftell(f);
fclose(f);
end

function removeFolder(folder)
if exist('OCTAVE_VERSION', 'builtin')
    confirm_recursive_rmdir(false, 'local');
end
rmdir(folder, 's');
end

function same = sameFields(a, b)
% Whether two readers' blocks agree on the fields that both give (an older
% reader may lack a field that was added since).
both = intersect(fieldnames(a), fieldnames(b));
same = isequaln(rmfield(a, setdiff(fieldnames(a), both)), rmfield(b, setdiff(fieldnames(b), both)));
end
