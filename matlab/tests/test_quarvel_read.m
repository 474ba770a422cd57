function test_quarvel_read()
% Checks quarvel_read against the converter: the shared cases of
% python/tests/logbuilder.py are read by both, and quarvel_read's blocks,
% formatted as the converter formats its records, must give the
% converter's text files byte for byte. The converter is the binary that
% QUARVEL_TEST_BINARY names; the cases are written by the Python 3 (with
% numpy) that QUARVEL_PYTHON names, python3 by default.
%
% Run from the top of the source tree:
%   QUARVEL_TEST_BINARY=build/quarvel QUARVEL_PYTHON=/usr/bin/python3 \
%     octave --no-gui --quiet --eval "addpath('matlab', 'matlab/tests'); test_quarvel_read"

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

writeSharedCases(folder);
logs = dir(fullfile(folder, '*.002'));
for k = 1:numel(logs)
    path = fullfile(folder, logs(k).name);
    % -n as the converter reads it: negative acts as the magnitude.
    for step = [1 3 -7]
        failures = [failures, compareWithConverter(binary, path, step)]; %#ok<AGROW>
    end
    failures = [failures, checkHeadersOnly(path)]; %#ok<AGROW>
end
failures = [failures, checkRunningSums(fullfile(folder, 'drift.002'))];
failures = [failures, checkBadInput(binary, folder)];
failures = [failures, checkFarTicks(folder)];

if ~isempty(failures)
    fprintf('FAILED: %s\n', failures{:});
    error('test:failed', '%d checks failed', numel(failures));
end
fprintf('quarvel_read agrees with %s on %d logs\n', binary, numel(logs));
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
if ~strcmp(actual, expected) && ~(isempty(actual) && isempty(expected))  % '' and fileread's 1-by-0 alike
    failures{end + 1} = sprintf('%s -n %d: records differ from line %d on', path, step, firstDifferentLine(actual, expected));
end
failures = [failures, checkTicks(blocks, sscanf(expected, '%f%*[^\n]'), abs(step), sprintf('%s -n %d', path, step))];
end

function failures = checkTicks(blocks, stamps, step, name)
% The ticks against integer arithmetic done another way (the period split in
% halves whose products doubles hold), and against the time STAMPS where
% the converter's running sum is exact: by eighths of a second, below 2^40 s.
failures = {};
last = cumsum(arrayfun(@(b) numel(b.raw), blocks));
for k = 1:numel(blocks)
    period = double(typecast(blocks(k).period_ms, 'int32'));
    i = (0:numel(blocks(k).raw) - 1)' * step;
    tick = int64(blocks(k).first_time) * 1000 + int64(i * floor(period / 65536)) * 65536 + int64(i * mod(period, 65536));
    if ~isa(blocks(k).tick, 'int64') || ~isequal(blocks(k).tick, tick) || (mod(period, 125) == 0 ...
            && all(abs(double(tick)) < 2^50) && ~isequal(stamps(last(k) - numel(tick) + 1:last(k)), double(tick) / 1000))
        failures{end + 1} = sprintf('%s: block %d: ticks are not first_time * 1000 + i * period', name, k); %#ok<AGROW>
    end
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
    % Octave's sprintf writes NaN, Inf and -Inf: the NaNs are written as
    % 1e39 and -1e39 by their sign bits (beyond any single, so no value
    % prints alike), and these and the infinities are then respelt.
    values = double(b.values);
    negative = bitget(typecast(b.values, 'uint32'), 32) == 1;
    values(isnan(values) & ~negative) = 1e39;
    values(isnan(values) & negative) = -1e39;
    text = sprintf(['%.3f,' constant ',%d,%f\r\n'], [b.times'; double(b.raw'); values']);
    spellings = {1e39, 'nan'; -1e39, '-nan'; Inf, 'inf'; -Inf, '-inf'};
    for k = 1:size(spellings, 1)
        text = strrep(text, sprintf(',%f\r', spellings{k, 1}), [',' spellings{k, 2} sprintf('\r')]);
    end
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
samples = {'raw', 'values', 'times', 'tick'};
if ~isequaln(rmfield(heads, samples), rmfield(blocks, samples)) ...
        || ~all(arrayfun(@(b) isempty(b.raw) && isempty(b.values) && isempty(b.times) && isempty(b.tick), heads))
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

function failures = checkFarTicks(folder)
% Ticks past 2^53, which no double holds: 2^22 + 2 samples 2^31 - 1 ms
% apart, every one (a range), and every 2000th (in int64 arithmetic).
far = fullfile(folder, 'far.002');
fid = fopen(far, 'w');
fwrite(fid, [1, 2^31 - 1, 2^31 - 1, 2^22 + 2, 0, 0, zeros(1, 2^21 + 1)], 'int32', 0, 'ieee-be');
fclose(fid);
failures = {};
for step = [1 3 2000]
    b = quarvel_read(far, 'Step', step);
    failures = [failures, checkTicks(b, [], step, sprintf('%s, step %d', far, step))]; %#ok<AGROW>
end
if double(b.tick(end)) < 2^53
    failures{end + 1} = sprintf('%s: no tick past 2^53', far);
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
huge = fullfile(folder, 'declared-max.002');
warning('off', 'quarvel:truncated');
b = quarvel_read(huge);
warning('on', 'quarvel:truncated');
if ~b.truncated || ~isequal(b.times, [0; 0.001; 0.002]) || b.declared_samples ~= intmax('int32')
    failures{end + 1} = 'huge declared count: wrong block';
end

% The classes and shapes of the fields.
classes = {'channel', 'int32'; 'period_ms', 'uint32'; 'first_time', 'int32'; 'declared_samples', 'int32'; ...
    'gain', 'single'; 'offset', 'single'; 'raw', 'int16'; 'values', 'single'; 'times', 'double'; 'tick', 'int64'; ...
    'truncated', 'logical'};
for k = 1:size(classes, 1)
    value = blocks(2).(classes{k, 1});
    if ~isa(value, classes{k, 2}) || size(value, 2) ~= 1
        failures{end + 1} = sprintf('%s: %s of %d columns', classes{k, 1}, class(value), size(value, 2)); %#ok<AGROW>
    end
end

% A named pipe that no one writes to is refused at once, not waited on.
pipe = fullfile(folder, 'pipe.002');
if mkfifo(pipe, 600) == 0  % Octave reads the mode's digits as octal
    try
        quarvel_read(pipe);
        failures{end + 1} = 'named pipe: read';
    catch err
        if ~strcmp(err.identifier, 'quarvel:open')
            failures{end + 1} = ['named pipe: ' err.message];
        end
    end
    delete(pipe);
end

% An empty file: no blocks, all the fields.
empty = fullfile(folder, 'empty.002');
b = quarvel_read(empty);
if ~isequal(size(b), [0 1]) || ~isequal(fieldnames(b), fieldnames(blocks))
    failures{end + 1} = 'empty file: not a 0-by-1 struct array with the fields';
end

% Missing files and folders: quarvel:open, naming the path; and a name
% that is not in the current folder but on the search path is missing too.
onPath = fullfile(folder, 'on-path');
mkdir(onPath);
copyfile(fullfile(folder, 'example.002'), fullfile(onPath, 'elsewhere.002'));
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

function writeSharedCases(folder)
% The shared cases, as FOLDER/NAME.002, by python/tests/logbuilder.py.
python = getenv('QUARVEL_PYTHON');
if isempty(python)
    python = 'python3';
end
generator = fullfile(fileparts(mfilename('fullpath')), '..', '..', 'python', 'tests', 'logbuilder.py');
[status, out] = system(sprintf('''%s'' ''%s'' cases ''%s'' 2>&1', python, generator, folder));
if status ~= 0
    error('test:setup', 'the shared cases could not be written: %s', out);
end
end

function removeFolder(folder)
confirm_recursive_rmdir(false, 'local');
rmdir(folder, 's');
end
