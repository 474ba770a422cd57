function blocks = quarvel_read(filename, varargin)
%QUARVEL_READ  Read a quarvel logger file into a struct array of blocks.
%   BLOCKS = QUARVEL_READ(FILENAME) reads the logger file FILENAME, all
%   of it at once, and returns one element per block, in file order, as an
%   N-by-1 struct array with these fields:
%
%     channel           ADC channel (int32)
%     period_ms         sample period in ms (uint32)
%     first_time        time of the first sample, s since 1970-01-01 UTC (int32)
%     declared_samples  sample count the header declares (int32; 0 or less
%                       means that no samples follow)
%     gain, offset      calibration gain and offset (single, as stored)
%     raw               raw counts of the samples present (int16 column)
%     values            calibrated values (single column)
%     times             time of each sample, s since 1970-01-01 UTC
%                       (double column), as quarvel sums them
%     tick              exact time of each sample, whole ms since
%                       1970-01-01 UTC (int64 column)
%     truncated         true when the file ends before all declared
%                       samples (logical)
%     datetime          TIMES as datetime values in UTC (MATLAB only, see
%                       below)
%
%   The numbers are those that the quarvel converter prints, to the bit:
%
%   * VALUES are single(double(RAW) * double(GAIN) + double(OFFSET)): the
%     product is exact in double, the sum is rounded to double, and that
%     double is rounded to single. These two roundings can end one single
%     away from the single nearest the exact sum: raw 3, gain bits
%     0x3FA6A059 and offset bits 0xA279F086 give 3.9053053855895996,
%     where the nearest single is 3.9053051471710205. A NaN value has
%     the sign that quarvel prints (nan or -nan): the sign of a NaN gain,
%     else negative for a zero count times an infinite gain, else the sign
%     of a NaN offset, else negative (inf - inf).
%   * TIMES are a running sum, as quarvel's time stamps are: the first is
%     FIRST_TIME, and each next one adds the step PERIOD_MS / 1000, with
%     PERIOD_MS taken as a signed 32-bit number (so 4294967295 steps back
%     by 1 ms). After many samples the sum drifts off FIRST_TIME + k * step;
%     sprintf('%.3f', TIMES) gives quarvel's time stamps.
%   * TICK is the exact time of sample k (from 0) in whole ms:
%     FIRST_TIME * 1000 + k * PERIOD_MS, PERIOD_MS again signed, in int64
%     arithmetic, exact for every header. It never drifts: use it for
%     windows, gaps, grids and joins, and TIMES where the text's time
%     stamps are wanted.
%
%   BLOCKS = QUARVEL_READ(FILENAME, 'HeadersOnly', true) reads the block
%   headers only, seeking past the samples: RAW, VALUES, TIMES and TICK
%   are empty, TRUNCATED is set.
%
%   BLOCKS = QUARVEL_READ(FILENAME, 'Step', N) keeps every Nth sample of
%   each block, starting with its first, as quarvel -n N does: RAW, VALUES,
%   TIMES and TICK hold the selected samples, and TIMES are still the
%   running sum over all of them. A negative N acts as its magnitude; N must be a
%   whole number from -2^31 to 2^31-1 other than 0.
%
%   Bad input:
%   * A trailing piece of the file shorter than a block header (24 bytes)
%     is ignored.
%   * A block that the end of the file cuts short gets TRUNCATED true and
%     the samples present, and the warning 'quarvel:truncated' says, as
%     quarvel does, "truncated block in input file FILENAME: P of D
%     samples read". No block follows it.
%   * A file that cannot be opened, or a folder, raises the error
%     'quarvel:open', naming FILENAME. So does a pipe or a device (such as
%     /dev/zero), whose end may never come: only files are read.
%   * A relative FILENAME is taken from the current folder only, as
%     quarvel takes it, not looked for along the search path as fopen
%     would. Every name that does not start with / is relative, whatever
%     bytes it holds (\x.002 and C:y.002 too); on Windows, names that
%     start with \ or a drive letter and a colon are not.
%   * A file that grows while it is read is read as it was when opened.
%   * An empty file gives a 0-by-1 struct array with the fields above.
%
%   MATLAB and Octave: this is plain MATLAB code, for MATLAB R2016b or
%   later and GNU Octave 7 or later. The DATETIME field is there in MATLAB
%   only; Octave has no datetime class, and there the field is left out.
%
%   Example: plot channel 3 of a log against time
%     blocks = quarvel_read('examples/1.002');
%     b = blocks([blocks.channel] == 3);
%     plot(vertcat(b.times), vertcat(b.values))
%
%   See also FREAD, DATETIME.

opts = parseOptions(filename, varargin{:});
filename = char(filename);
[fid, bytes] = openLog(filename);
closer = onCleanup(@() fclose(fid));
if opts.HeadersOnly
    % Header after header, each read where the previous block ends.
    runs = findRuns(fid, floor(bytes / 2));
    [~, present] = blockLayout(runs);
    fields = headersInFile(fid, runs);
    samples = {};
else
    % The whole file at once, as big-endian 16-bit words: headers start
    % at even offsets, so every header is 12 words and every sample one.
    % Only the bytes it had when opened: a file that grows meanwhile is
    % read as it was.
    words = fread(fid, floor(bytes / 2), 'int16=>int16', 0, 'ieee-be');
    runs = findRuns(words, numel(words));
    [at, present] = blockLayout(runs);
    fields = headerFields(words(at' + (1:12)'));
    samples = {words, at};
end
blocks = makeBlocks(fields, present, samples, opts);
if ~isempty(blocks) && blocks(end).truncated
    warning('quarvel:truncated', 'truncated block in input file %s: %d of %d samples read', ...
        filename, present(end), blocks(end).declared_samples);
end
end

function opts = parseOptions(filename, varargin)
% The name-value options, checked as MATLAB's own functions check theirs.
p = inputParser;
p.FunctionName = 'quarvel_read';
addRequired(p, 'filename', @(x) (ischar(x) && (isrow(x) || isempty(x))) || (isstring(x) && isscalar(x)));
addParameter(p, 'HeadersOnly', false, @(x) isscalar(x) && (islogical(x) || isnumeric(x)));
addParameter(p, 'Step', 1, @validateStep);
parse(p, filename, varargin{:});
opts = p.Results;
opts.HeadersOnly = logical(opts.HeadersOnly);
opts.Step = abs(double(opts.Step));  % a negative step acts as its magnitude
end

function ok = validateStep(n)
% The range of quarvel's -n: a 32-bit signed whole number, not 0.
if ~(isnumeric(n) && isscalar(n) && isreal(n) && n == fix(n) && n >= -2^31 && n <= 2^31 - 1)
    error('quarvel:step', 'Step must be a whole number from -2^31 to 2^31-1.');
end
if n == 0
    error('quarvel:step', 'Step must not be 0.');
end
ok = true;
end

function [fid, bytes] = openLog(filename)
% The file named, relative to the current folder, as quarvel opens it, and
% its size in bytes. fopen would look along the search path for a relative
% name it does not find here, and read some other file of that name: so a
% relative name gets the current folder in front, by hand, as fullfile
% and regexp refuse names that are not UTF-8.
fullPath = filename;
if ~isAbsolute(filename)
    fullPath = [pwd() filesep() filename];
end
% A folder is no logger file, though some systems let fopen open it.
if exist(fullPath, 'dir') == 7
    error('quarvel:open', 'failed to open input file %s: it is a folder', filename);
end
% Opening a named pipe waits for a writer, perhaps for ever: where the
% system says what a file is (Octave's stat), a pipe is refused unopened.
if isNamedPipe(fullPath)
    error('quarvel:open', 'failed to open input file %s: it is a pipe or a device, not a regular file', filename);
end
[fid, reason] = fopen(fullPath, 'r');
if fid < 0
    error('quarvel:open', 'failed to open input file %s: %s', filename, reason);
end
bytes = fileBytes(fid);
if bytes < 0
    fclose(fid);
    error('quarvel:open', 'failed to open input file %s: it is a pipe or a device, not a regular file', filename);
end
end

function yes = isNamedPipe(path)
yes = false;
if exist('OCTAVE_VERSION', 'builtin') ~= 0
    [info, err] = stat(path);
    yes = err == 0 && S_ISFIFO(info.mode);
end
end

function yes = isAbsolute(filename)
% Whether the system takes FILENAME from its root rather than from the
% current folder: a name that starts with / (or, on Windows, \ or a drive
% letter and a colon).
yes = ~isempty(filename) && filename(1) == '/';
if ispc() && ~yes
    yes = ~isempty(filename) && (filename(1) == '\' || ...
        (numel(filename) >= 2 && filename(2) == ':' && isletter(filename(1))));
end
end

function bytes = fileBytes(fid)
% The size of the open file, which is then read from its start; -1 for a
% stream that cannot seek (a pipe) or a device that has bytes past the
% size it reports (such as /dev/zero, of size 0): their end may never
% come, and reading all of them could take memory without bound.
bytes = -1;
if fseek(fid, 0, 'eof') ~= 0
    return;
end
total = ftell(fid);
if total == 0 && ~isempty(fread(fid, 1, 'uint8'))
    return;
end
if total < 0 || fseek(fid, 0, 'bof') ~= 0
    return;
end
bytes = total;
end

function counts = countsInWords(words, at, stride, count)
% The sample counts of COUNT headers, the first at word AT of the file in
% memory, the others STRIDE words apart.
first = at + (0:count - 1)' * stride;
counts = double(words(first + 7)) * 65536 + double(typecast(words(first + 8), 'uint16'));
end

function counts = countsInFile(fid, at, stride, count)
% The same, read from the file: one fread, skipping the samples.
fseek(fid, 2 * at, 'bof');
fields = fread(fid, 6 * count, '6*uint32=>uint32', 2 * max(stride - 12, 0), 'ieee-be');
counts = double(typecast(fields(4:6:end), 'int32'));
end

function fields = headersInFile(fid, runs)
% The fields of every header (6-by-N uint32), read a run at a time.
fields = zeros(6, sum(runs(:, 3)), 'uint32');
first = 0;
for r = 1:size(runs, 1)
    at = runs(r, 1);
    n = runs(r, 2);
    blocks = runs(r, 3);
    fseek(fid, 2 * at, 'bof');
    fields(:, first + 1:first + blocks) = reshape(fread(fid, 6 * blocks, '6*uint32=>uint32', 2 * n, 'ieee-be'), 6, blocks);
    first = first + blocks;
end
end

function runs = findRuns(source, total)
% Splits a file of TOTAL words into runs of consecutive blocks with the
% same number of samples: rows of [offset in words, samples per block,
% blocks]. A run of K blocks of N samples is a (12 + N)-by-K matrix of
% the words, headers above samples, so that each run is read and
% converted at once. A block that the end of the file cuts short ends the
% last run with the samples present. Runs are found by looking ahead for
% blocks of the same size, further each time the guess was right. SOURCE
% is the file's words (int16), or the open file.
inMemory = isa(source, 'int16');
runs = zeros(16, 3);
count = 0;
at = 0;
ahead = 1;
while at + 12 <= total
    if inMemory  % the one count, without a function call: this runs per block
        n = max(double(source(at + 7)) * 65536 + double(source(at + 8)) + 65536 * (source(at + 8) < 0), 0);
    else
        n = max(countsInFile(source, at, 0, 1), 0);
    end
    whole = floor((total - at) / (12 + n));  % blocks of this size that fit
    differs = [];
    if whole == 0
        blocks = 1;
        n = total - at - 12;  % the samples present
    else
        blocks = min(ahead, whole);
        if blocks > 1
            if inMemory
                counts = countsInWords(source, at + 12 + n, 12 + n, blocks - 1);
            else
                counts = countsInFile(source, at + 12 + n, 12 + n, blocks - 1);
            end
            differs = find(max(counts, 0) ~= n, 1);
            if ~isempty(differs)
                blocks = differs;
            end
        end
    end
    goesOn = count > 0 && runs(count, 2) == n;
    if goesOn
        runs(count, 3) = runs(count, 3) + blocks;
    else
        count = count + 1;
        if count > size(runs, 1)
            runs(2 * count, :) = 0;
        end
        runs(count, :) = [at, n, blocks];
    end
    at = at + blocks * (12 + n);
    % Look further ahead while the size repeats; not at all while it
    % changes from block to block.
    if isempty(differs) && (goesOn || blocks > 1)
        ahead = 2 * blocks;
    else
        ahead = 1;
    end
    if whole == 0
        break;
    end
end
runs = runs(1:count, :);
end

function [at, n] = blockLayout(runs)
% Where each block starts, in words, and the samples present in it.
at = zeros(0, 1);
n = zeros(0, 1);
if isempty(runs)  % Octave's repelem fails on nothing
    return;
end
column = @(x) reshape(x, [], 1);  % repelem of a scalar gives a row
blocks = runs(:, 3);
run = column(repelem((1:size(runs, 1))', blocks));
index = (1:sum(blocks))' - column(repelem(cumsum(blocks) - blocks, blocks)) - 1;  % within its run
n = runs(run, 2);
at = runs(run, 1) + index .* (12 + n);
end

function fields = headerFields(heads)
% The six 32-bit fields of each header (a column of 12 words), each from
% its two words, high first.
high = double(typecast(reshape(heads(1:2:end, :), [], 1), 'uint16'));
low = double(typecast(reshape(heads(2:2:end, :), [], 1), 'uint16'));
fields = reshape(uint32(high * 65536 + low), 6, size(heads, 2));
end

function blocks = makeBlocks(fields, present, samples, opts)
% The struct array: header fields from FIELDS (6-by-N uint32), PRESENT
% samples in each block, taken from SAMPLES = {the file's words, where
% each block starts} unless it is empty.
SAMPLES_AT_ONCE = 2^18;
count = size(fields, 2);
column = @(x) reshape(x, count, 1);
header.channel = column(typecast(fields(1, :), 'int32'));
header.period_ms = column(fields(2, :));
header.first_time = column(typecast(fields(3, :), 'int32'));
header.declared_samples = column(typecast(fields(4, :), 'int32'));
header.gain = column(typecast(fields(5, :), 'single'));
header.offset = column(typecast(fields(6, :), 'single'));
raw = repmat({zeros(0, 1, 'int16')}, count, 1);
values = repmat({zeros(0, 1, 'single')}, count, 1);
times = repmat({zeros(0, 1)}, count, 1);
ticks = repmat({zeros(0, 1, 'int64')}, count, 1);
if ~isempty(samples) && count > 0
    [words, at] = samples{:};
    n = present;
    groups = sampleGroups(n, SAMPLES_AT_ONCE);
    for g = 1:size(groups, 1)
        range = groups(g, 1):groups(g, 2);
        if all(n(range) == n(range(1)))
            [raw(range), values(range), times(range), ticks(range)] = ...
                runSamples(words, [at(range(1)), n(range(1)), numel(range)], header, range, opts.Step);
        else
            [raw(range), values(range), times(range), ticks(range)] = ...
                raggedSamples(words, at(range), n(range), header, range, opts.Step);
        end
    end
end
names = fieldnames(header);
args = cell(2, numel(names));
for k = 1:numel(names)
    args(:, k) = {names{k}; num2cell(header.(names{k}))};
end
args = [args(:)', {'raw', raw, 'values', values, 'times', times, 'tick', ticks, ...
    'truncated', num2cell(column(present < double(header.declared_samples)))}];
if inMatlab()  % datetime since R2014b; Octave has none
    toDatetime = @(t) datetime(t, 'ConvertFrom', 'posixtime', 'TimeZone', 'UTC');
    args = [args, {'datetime', cellfun(toDatetime, times, 'UniformOutput', false)}];
end
% Cells of N-by-1 give an N-by-1 struct array, also when N is 0.
blocks = struct(args{:});
end

function groups = sampleGroups(n, limit)
% The groups of consecutive blocks, of N samples each, that are converted
% together: rows of [first block, last block]. A group holds blocks of
% similar size (from 2^c to 2^(c+1) - 1 samples), so that a matrix of
% them, one block per column, is at most half padding, and about LIMIT
% samples at most, so that the arrays in between stay small enough for
% the memory allocator to reuse.
sizeClass = floor(log2(max(n, 1)));
classStart = [true; diff(sizeClass) ~= 0];
stretch = cumsum(classStart);
starts = find(classStart);
position = (1:numel(n))' - starts(stretch);  % within its stretch of one size class
piece = floor(position ./ max(1, floor(limit ./ 2 .^ (sizeClass + 1))));
first = find([true; diff(stretch) ~= 0 | diff(piece) ~= 0]);
groups = [first, [first(2:end) - 1; numel(n)]];
end

function [raw, values, times, ticks] = raggedSamples(words, at, n, header, range, step)
% The samples of consecutive blocks of different sizes, as columns of
% cells: as runSamples, in a matrix padded to the largest block.
span = words(at(1) + 1:at(end) + 12 + n(end));
isSample = true(numel(span), 1);
isSample(reshape((at - at(1)) + (1:12), [], 1)) = false;
inBlock = (1:max(n))' <= n';
r = zeros(size(inBlock), 'int16');
r(inBlock) = span(isSample);
t = runningSums(double(header.first_time(range))', periodSeconds(header.period_ms(range))', max(n));
if step ~= 1
    inBlock = inBlock(1:step:end, :);
    r = r(1:step:end, :);
    t = t(1:step:end, :);
end
v = calibrate(r, header.gain(range)', header.offset(range)');
counts = sum(inBlock, 1)';
column = @(x) reshape(x, [], 1);  % a matrix of one row gives a row
raw = mat2cell(column(r(inBlock)), counts, 1);
values = mat2cell(column(v(inBlock)), counts, 1);
times = mat2cell(column(t(inBlock)), counts, 1);
ticks = sampleTicks(header.first_time(range), header.period_ms(range), n, step);
end

function [raw, values, times, ticks] = runSamples(words, run, header, range, step)
% The samples of one run of blocks, N samples each, as columns of cells:
% every STEP-th one, from the first on, with its value and time.
at = run(1);
n = run(2);
blocks = run(3);
if blocks == 1
    r = words(at + 13:at + 12 + n);
else
    r = reshape(words(at + 1:at + blocks * (12 + n)), 12 + n, blocks);
    r = r(13:end, :);
end
t = runningSums(double(header.first_time(range))', periodSeconds(header.period_ms(range))', n);
if step ~= 1
    r = r(1:step:end, :);
    t = t(1:step:end, :);
end
v = calibrate(r, header.gain(range)', header.offset(range)');
raw = num2cell(r, 1)';
values = num2cell(v, 1)';
times = num2cell(t, 1)';
ticks = sampleTicks(header.first_time(range), header.period_ms(range), n, step);
end

function ticks = sampleTicks(first, period, n, step)
% The ticks of samples 0, STEP, 2 * STEP, ... below N (one N for all, or
% one per block) of blocks that start at FIRST s (int32) and step by
% PERIOD ms (uint32, read as signed 32-bit), as a column of cells: FIRST *
% 1000 + i * PERIOD, exact for every header. Long blocks get an int64
% range each, which costs little more than the memory it fills. Short ones
% are computed together: in doubles where every product and sum is a
% whole number below 2^53, so exact, else in int64 (|i * PERIOD| < 2^62),
% which Octave computes several times slower.
LONG = 4096;
blocks = numel(first);
count = reshape(floor((n - 1) / step) + 1, [], 1) .* ones(blocks, 1);  % samples selected per block
start = int64(reshape(first, [], 1)) * int64(1000);
by = int64(typecast(reshape(period, [], 1), 'int32')) * int64(step);
if blocks == 0 || mean(count) >= LONG
    ticks = cell(blocks, 1);
    for b = 1:blocks
        if by(b) == 0 || count(b) < 2  % a range of step 0 is empty
            ticks{b} = repmat(start(b), count(b), 1);
        else
            ticks{b} = (start(b):by(b):start(b) + by(b) * int64(count(b) - 1))';
        end
    end
    return;
end
i = (0:max(count) - 1)';
if all(by == by(1))  % one period: i * PERIOD once for every block
    by = by(1);
end
if (max(count) - 1) * max(abs(double(by))) + max(abs(double(start))) < 2^53
    k = int64(double(start') + i .* double(by'));
else
    k = start' + int64(i) .* by';
end
if all(count == count(1))
    ticks = num2cell(k, 1)';
else
    ticks = mat2cell(reshape(k(i < count'), [], 1), count, 1);
end
end

function seconds = periodSeconds(period)
% The period steps as a signed 32-bit number of ms.
seconds = double(typecast(period, 'int32')) / 1000;
end

function t = runningSums(first, step, n)
% One column per block: first, first + step, (first + step) + step, ...,
% each sum rounded to double, in order, as quarvel adds up its time stamps.
if isscalar(first)
    t = sumsInOneBinade(first, step, n);
    if ~isempty(t)
        return;
    end
end
t = repmat(step, n, 1);
if n == 0
    return;
end
t(1, :) = first;
t = cumsum(t, 1);
% Octave's cumsum adds in order, one element after the other (the tests
% check its sums to the bit). MATLAB does not document the order of its
% cumsum, so there every sum is checked, and the sums are redone one by
% one from the first row that differs (a loop that MATLAB compiles).
if inMatlab() && ~isequal(t(2:end, :), t(1:end - 1, :) + step)
    k = find(any(t(2:end, :) ~= t(1:end - 1, :) + step, 2), 1);
    for i = k + 1:n
        t(i, :) = t(i - 1, :) + step;
    end
end
end

function t = sumsInOneBinade(first, step, n)
% The running sums of one long block in a single pass, where its times stay
% in one binade (the doubles from 2^(e-1) to 2^e, one grid apart), as
% they do unless the block crosses a power of two of seconds; else [].
% Inside a binade each addition of STEP rounds to the same grid, so it
% adds the same INC each time, once the first addition inside has settled
% a tie (rounded to even). Then the sums from the second on are exactly
% second + k * INC, and the colon operator gives them exactly: each
% product and sum is a double on that grid. The last time must keep one
% grid step from the binade's ends, where the rounding changes.
t = [];
second = first + step;
third = second + step;
inc = third - second;  % exact: both lie in one binade
last = second + (n - 2) * inc;
grid = eps(second);
ends = [first, second, third, last - grid, last + grid];
[~, exponent] = log2(ends);
if n < 3 || inc == 0 || any(sign(ends) ~= sign(second)) || any(exponent ~= exponent(2))
    return;
end
t = (second - inc:inc:last)';
t(1) = first;
end

function v = calibrate(raw, gain, offset)
% raw * gain + offset per column, as quarvel computes it: the product and
% the sum in double, then the sum rounded to single. Two statements: the
% product is rounded before the sum.
product = double(raw) .* double(gain);
v = single(product + double(offset));
if all(isfinite(gain)) && all(isfinite(offset))
    return;  % then no value can be NaN
end
nans = reshape(find(isnan(v)), [], 1);
if isempty(nans)
    return;
end
% The sign of a NaN as quarvel gives it, whichever CPU computed it: a NaN
% gain's, else negative for 0 * inf, else a NaN offset's, else negative
% (inf - inf).
[~, column] = ind2sub(size(v), nans);
g = reshape(gain(column), [], 1);
o = reshape(offset(column), [], 1);
negative = true(numel(nans), 1);
negative(isnan(g)) = signBit(g(isnan(g)));
byOffset = ~isnan(g) & ~(isinf(g) & reshape(raw(nans), [], 1) == 0) & isnan(o);
negative(byOffset) = signBit(o(byOffset));
bits = typecast(v(nans), 'uint32');
bits(negative) = bitor(bits(negative), uint32(2147483648));
bits(~negative) = bitand(bits(~negative), uint32(2147483647));
v(nans) = typecast(bits, 'single');
end

function s = signBit(x)
s = bitget(typecast(single(x(:)), 'uint32'), 32) == 1;
end

function yes = inMatlab()
persistent matlab
if isempty(matlab)
    matlab = ~exist('OCTAVE_VERSION', 'builtin');
end
yes = matlab;
end
