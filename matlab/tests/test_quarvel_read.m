function test_quarvel_read()
% Checks quarvel_read against the converter: crafted logs are read by both,
% and quarvel_read's blocks, formatted as the converter formats its
% records, must give the converter's text files byte for byte. The
% converter is the binary that QUARVEL_TEST_BINARY names.
%
% Run from the top of the source tree:
%   QUARVEL_TEST_BINARY=build/quarvel octave --no-gui --quiet --eval \
%     "addpath('matlab', 'matlab/tests'); test_quarvel_read"

binary = getenv('QUARVEL_TEST_BINARY');
if isempty(binary)
    error('test:setup', 'QUARVEL_TEST_BINARY must name the quarvel binary');
end
setenv('TZ', 'UTC');
setenv('LC_ALL', 'C');
folder = tempname();
mkdir(folder);
cleanup = onCleanup(@() removeFolder(folder));
failures = {};

logs = craftedLogs();
for k = 1:numel(logs)
    path = fullfile(folder, logs(k).name);
    writeLog(path, logs(k).blocks, logs(k).tail);
    % -n as the converter reads it: negative acts as the magnitude.
    for step = [1 3 -7]
        failures = [failures, compareWithConverter(binary, path, step)]; %#ok<AGROW>
    end
    failures = [failures, checkHeadersOnly(path)]; %#ok<AGROW>
end
failures = [failures, checkRunningSums(fullfile(folder, 'drift.002'))];
failures = [failures, checkBadInput(binary, folder)];

if ~isempty(failures)
    fprintf('FAILED: %s\n', failures{:});
    error('test:failed', '%d checks failed', numel(failures));
end
fprintf('quarvel_read agrees with %s on %d logs\n', binary, numel(logs));
end

function logs = craftedLogs()
% Logs whose records the converter and quarvel_read must agree on.
nan32 = @(bits) typecast(uint32(bits), 'single');
posNaN = nan32(2143289344);    % 0x7FC00000
negNaN = nan32(4290772992);    % 0xFFC00000
payload = nan32(4290781407);   % 0xFFC020DF: a negative NaN with a payload
edges = int16([0; 1; -1; 32767; -32768; 12345]);
calibrations = single([posNaN, 1; negNaN, 1; payload, 0; Inf, 0; -Inf, 0; Inf, -Inf; -Inf, Inf; ...
    1, posNaN; 1, negNaN; Inf, negNaN; -Inf, posNaN; 0, Inf; 2, -Inf; -0, -0; 0, -0; ...
    0.0025, -1.5; 1234.5678, 0.1; 3.4e38, 3.4e38; -1e-30, 0]);
% The calibrations, on periods and first times at their edges.
periods = [0, 1, 2^31, 2^32 - 1, 500, 3];
firsts = [-2^31, 2^31 - 1, -1, 0, 1796083200, 2^31 - 2];
blocks = [];
for k = 1:size(calibrations, 1)
    i = mod(k - 1, numel(periods)) + 1;
    blocks = [blocks, logBlock(k - 10, periods(i), firsts(i), numel(edges), calibrations(k, 1), ...
        calibrations(k, 2), edges)]; %#ok<AGROW>
end
% Counts of zero and below: no samples follow.
blocks = [blocks, logBlock(7, 10, 5, 0, single(1), single(0), int16([])), ...
    logBlock(8, 10, 5, -5, single(1), single(0), int16([])), ...
    logBlock(9, 10, 5, -2^31, single(1), single(0), int16([])), ...
    logBlock(-2^31, 2^32 - 1, 2^31 - 1, 3, single(2), single(1), int16([5; -5; 7]))];
logs(1) = struct('name', 'edges.002', 'blocks', blocks, 'tail', uint8([]));

% Long blocks whose running sum drifts off first + k * step (1 ms and
% 3 ms), one that counts back from the top of 32 bits, one that crosses
% zero and one that crosses 2^30, where the sums change their spacing.
wave = @(n) int16(round(20000 * sin((0:n - 1)' / 500)) + mod((0:n - 1)' * 7919, 4096) - 2048);
logs(2) = struct('name', 'drift.002', 'blocks', [ ...
    logBlock(1, 1, 1796083200, 200000, single(0.00030519), single(-0.0123), wave(200000)), ...
    logBlock(2, 3, 1796083200, 100000, single(0.001), single(0), wave(100000)), ...
    logBlock(3, 2^32 - 1, 2^31 - 1, 50000, single(0.5), single(0.25), wave(50000)), ...
    logBlock(4, 7, -3, 3000, single(1), single(0), wave(3000)), ...
    logBlock(5, 1, 2^30 - 10, 20000, single(0.001), single(0), wave(20000))], 'tail', uint8([]));

% Many blocks, which quarvel_read converts many at a time (and more than
% 2^18 samples in several pieces): blocks of 4000 and 8 samples, then
% sizes that change from block to block, then 8 again up to a block of 8
% that the end of the file cuts after 5, each block with its own
% calibration, period and first time.
sizes = [repmat(4000, 1, 70), repmat(8, 1, 100), repmat([8 9], 1, 20), 0, -3, 0, 1, 2, 3, repmat(8, 1, 50)];
blocks = [];
for k = 1:numel(sizes)
    blocks = [blocks, logBlock(k, mod(k, 4) * 250 + 1, 1796083200 + 60 * k, sizes(k), single(0.001 * k), ...
        single(-k), wave(max(sizes(k), 0)) + k)]; %#ok<AGROW>
end
blocks(end + 1) = logBlock(0, 10, 0, 8, single(0.5), single(0), wave(5));
logs(3) = struct('name', 'runs.002', 'blocks', blocks, 'tail', uint8([]));

% Trailing junk shorter than a header, after a whole block.
logs(4) = struct('name', 'junk.002', 'blocks', logBlock(5, 500, 1796083200, 4, single(0.5), ...
    single(1), int16([100; -100; 0; 1])), 'tail', uint8(1:23));
% A block cut short after 5 of 9 samples and half a sample.
logs(5) = struct('name', 'cut.002', 'blocks', [logBlock(6, 250, 1796083200, 3, single(0.5), ...
    single(1), int16([1; 2; 3])), logBlock(6, 250, 1796083300, 9, single(-0.5), single(2), ...
    int16([10; 20; 30; 40; 50]))], 'tail', uint8(255));
end

function b = logBlock(channel, period, first, count, gain, offset, raw)
% A block to write: header fields and the samples present.
b = struct('channel', channel, 'period', period, 'first', first, 'count', count, ...
    'gain', gain, 'offset', offset, 'raw', raw);
end

function writeLog(path, blocks, tail)
f = fopen(path, 'w');
for b = blocks
    fwrite(f, b.channel, 'int32', 0, 'ieee-be');
    fwrite(f, b.period, 'uint32', 0, 'ieee-be');
    fwrite(f, [b.first, b.count], 'int32', 0, 'ieee-be');
    % The calibration by its bits: NaN payloads and signs as they are.
    fwrite(f, typecast([b.gain, b.offset], 'uint32'), 'uint32', 0, 'ieee-be');
    fwrite(f, b.raw, 'int16', 0, 'ieee-be');
end
fwrite(f, tail, 'uint8');
fclose(f);
end

function failures = compareWithConverter(binary, path, step)
% The converter's records of all eight fields with -n STEP, against
% quarvel_read's blocks formatted as the converter formats them.
failures = {};
[status, out] = system(sprintf('''%s'' -q -S -tcpNgor -n %d ''%s'' 2>&1', binary, step, path));
if status ~= 0
    failures{end + 1} = sprintf('%s -n %d: converter status %d: %s', path, step, status, out);
    return;
end
warning('off', 'quarvel:truncated');
blocks = quarvel_read(path, 'Step', step);
warning('on', 'quarvel:truncated');
expected = fileread([path '.txt']);
actual = strjoin(arrayfun(@formatRecords, blocks', 'UniformOutput', false), '');
if ~strcmp(actual, expected)
    failures{end + 1} = sprintf('%s -n %d: records differ from line %d on', path, step, firstDifferentLine(actual, expected));
end
end

function text = formatRecords(b)
% The records of one block as the converter's -tcpNgor writes them: the
% constant fields go into the format, the rest are formatted per sample.
constant = sprintf('%d,%d,%d,%s,%s', b.channel, b.period_ms, b.declared_samples, fixed(b.gain), fixed(b.offset));
if isempty(b.raw)
    text = '';  % sprintf would write its format once, with empty fields
elseif all(isfinite(b.values))
    text = sprintf(['%.3f,' constant ',%d,%f\r\n'], [b.times'; double(b.raw'); double(b.values')]);
else
    values = arrayfun(@fixed, b.values, 'UniformOutput', false);
    text = strjoin(arrayfun(@(t, r, v) sprintf(['%.3f,' constant ',%d,%s\r\n'], t, r, v{1}), ...
        b.times, double(b.raw), values, 'UniformOutput', false), '');
end
end

function text = fixed(x)
% x as printf's %f spells it: Octave's sprintf writes every NaN as NaN and
% infinities as Inf, so those are spelt here, a NaN's sign from its bits.
if isnan(x)
    text = 'nan';
    if bitget(typecast(single(x), 'uint32'), 32)
        text = '-nan';
    end
elseif isinf(x)
    text = 'inf';
    if x < 0
        text = '-inf';
    end
else
    text = sprintf('%f', x);
end
end

function line = firstDifferentLine(a, b)
n = min(numel(a), numel(b));
at = find(a(1:n) ~= b(1:n), 1);
if isempty(at)
    at = n + 1;
end
line = 1 + nnz(b(1:at - 1) == newline);
end

function failures = checkHeadersOnly(path)
% The headers alone: the same as a full read's, without samples.
failures = {};
warning('off', 'quarvel:truncated');
heads = quarvel_read(path, 'HeadersOnly', true);
blocks = quarvel_read(path);
warning('on', 'quarvel:truncated');
samples = {'raw', 'values', 'times'};
if ~isequaln(rmfield(heads, samples), rmfield(blocks, samples)) ...
        || ~all(arrayfun(@(b) isempty(b.raw) && isempty(b.values) && isempty(b.times), heads))
    failures{end + 1} = sprintf('%s: HeadersOnly: headers differ from a full read, or samples were read', path);
end
end

function failures = checkRunningSums(path)
% The times, to the bit, against a sum taken one addition at a time; and
% the blocks do drift, or this would prove nothing.
failures = {};
for b = quarvel_read(path)'
    step = double(typecast(b.period_ms, 'int32')) / 1000;
    t = zeros(numel(b.raw), 1);
    t(1) = double(b.first_time);
    for i = 2:numel(t)
        t(i) = t(i - 1) + step;
    end
    if ~isequal(b.times, t)
        failures{end + 1} = sprintf('channel %d: times are not the running sum', b.channel); %#ok<AGROW>
    end
    grid = double(b.first_time) + (0:numel(t) - 1)' * step;
    if b.period_ms ~= 7 && isequal(t, grid)
        failures{end + 1} = sprintf('channel %d: the running sum does not drift', b.channel); %#ok<AGROW>
    end
end
end

function failures = checkBadInput(binary, folder)
failures = {};
% A cut block: the warning carries the converter's message.
cut = fullfile(folder, 'cut.002');
[~, converterMessage] = system(sprintf('''%s'' -q ''%s'' 2>&1', binary, cut));
lastwarn('');
blocks = quarvel_read(cut);
[message, id] = lastwarn();
if ~strcmp(id, 'quarvel:truncated') || ~strcmp([message newline], converterMessage)
    failures{end + 1} = sprintf('truncated warning: %s (%s), converter: %s', message, id, converterMessage);
end
if ~isequal([blocks.truncated], [false true]) || ~isequal(blocks(2).raw, int16([10; 20; 30; 40; 50]))
    failures{end + 1} = 'truncated block: flag or samples wrong';
end

% 2^31-1 samples declared, three present: only those three are read.
huge = fullfile(folder, 'huge.002');
writeLog(huge, logBlock(1, 1, 0, 2^31 - 1, single(1), single(0), int16([1; 2; 3])), uint8([]));
warning('off', 'quarvel:truncated');
b = quarvel_read(huge);
warning('on', 'quarvel:truncated');
if ~b.truncated || ~isequal(b.times, [0; 0.001; 0.002]) || b.declared_samples ~= intmax('int32')
    failures{end + 1} = 'huge declared count: wrong block';
end

% The classes and shapes of the fields.
classes = {'channel', 'int32'; 'period_ms', 'uint32'; 'first_time', 'int32'; 'declared_samples', 'int32'; ...
    'gain', 'single'; 'offset', 'single'; 'raw', 'int16'; 'values', 'single'; 'times', 'double'; 'truncated', 'logical'};
for k = 1:size(classes, 1)
    value = blocks(2).(classes{k, 1});
    if ~isa(value, classes{k, 2}) || size(value, 2) ~= 1
        failures{end + 1} = sprintf('%s: %s of %d columns', classes{k, 1}, class(value), size(value, 2)); %#ok<AGROW>
    end
end

% An empty file: no blocks, all the fields.
empty = fullfile(folder, 'empty.002');
fclose(fopen(empty, 'w'));
b = quarvel_read(empty);
if ~isequal(size(b), [0 1]) || ~isequal(fieldnames(b), fieldnames(blocks))
    failures{end + 1} = 'empty file: not a 0-by-1 struct array with the fields';
end

% Missing files and folders: quarvel:open, naming the path; and a name
% that is not in the current folder but on the search path is missing too.
onPath = fullfile(folder, 'on-path');
mkdir(onPath);
writeLog(fullfile(onPath, 'elsewhere.002'), logBlock(1, 1, 0, 1, single(1), single(0), int16(1)), uint8([]));
addpath(onPath);
for path = {fullfile(folder, 'missing.002'), folder, 'elsewhere.002'}
    try
        quarvel_read(path{1});
        failures{end + 1} = sprintf('%s: no error', path{1}); %#ok<AGROW>
    catch err
        if ~strcmp(err.identifier, 'quarvel:open') || isempty(strfind(err.message, path{1}))
            failures{end + 1} = sprintf('%s: wrong error %s: %s', path{1}, err.identifier, err.message); %#ok<AGROW>
        end
    end
end
rmpath(onPath);

% A step of 0 is refused, as -n 0 is.
try
    quarvel_read(cut, 'Step', 0);
    failures{end + 1} = 'Step 0 accepted';
catch err
    if isempty(strfind(err.message, 'Step must not be 0'))
        failures{end + 1} = sprintf('Step 0: wrong error %s', err.message);
    end
end
end

function removeFolder(folder)
confirm_recursive_rmdir(false, 'local');
rmdir(folder, 's');
end
