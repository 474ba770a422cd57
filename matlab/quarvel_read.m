function blocks = quarvel_read(filename, varargin)
%QUARVEL_READ  Read a quarvel logger file into a struct array of blocks.
%   BLOCKS = QUARVEL_READ(FILENAME) reads the logger file FILENAME and
%   returns one element per block, in file order, as an N-by-1 struct
%   array with these fields:
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
%                       (double column)
%     truncated         true when the file ends before all declared
%                       samples (logical)
%     datetime          TIMES as datetime values in UTC (MATLAB only, see
%                       below)
%
%   The numbers are those that the quarvel converter prints, to the bit:
%
%   * VALUES are single(double(RAW) * double(GAIN) + double(OFFSET)): the
%     product and sum in double, rounded once to single. A NaN value has
%     the sign that quarvel prints (nan or -nan): the sign of a NaN gain,
%     else negative for a zero count times an infinite gain, else the sign
%     of a NaN offset, else negative (inf - inf).
%   * TIMES are a running sum, as quarvel's time stamps are: the first is
%     FIRST_TIME, and each next one adds the step PERIOD_MS / 1000, with
%     PERIOD_MS taken as a signed 32-bit number (so 4294967295 steps back
%     by 1 ms). After many samples the sum drifts off FIRST_TIME + k * step;
%     sprintf('%.3f', TIMES) gives quarvel's time stamps.
%
%   BLOCKS = QUARVEL_READ(FILENAME, 'HeadersOnly', true) reads the block
%   headers only: RAW, VALUES and TIMES are empty, TRUNCATED is set.
%
%   BLOCKS = QUARVEL_READ(FILENAME, 'Step', N) keeps every Nth sample of
%   each block, starting with its first, as quarvel -n N does: RAW, VALUES
%   and TIMES hold the selected samples, and TIMES are still the running
%   sum over all of them. A negative N acts as its magnitude; N must be a
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
%     'quarvel:open', naming FILENAME.
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
blocks = emptyBlocks();

% A folder is no logger file, though some systems let fopen open it.
if exist(filename, 'dir') == 7
    error('quarvel:open', 'failed to open input file %s: it is a folder', filename);
end
[fid, reason] = fopen(filename, 'r');
if fid < 0
    error('quarvel:open', 'failed to open input file %s: %s', filename, reason);
end
closer = onCleanup(@() fclose(fid));
fseek(fid, 0, 'eof');
fileSize = ftell(fid);
fseek(fid, 0, 'bof');

count = 0;
while true
    % fread takes care of the byte order: the fields arrive in host order.
    [fields, got] = fread(fid, 6, 'uint32=>uint32', 0, 'ieee-be');
    if got < 6
        break;  % end of the file, or a trailing piece shorter than a header
    end
    block = decodeHeader(fields);
    % Never more than the file holds, whatever the header declares.
    present = min(max(double(block.declared_samples), 0), floor((fileSize - ftell(fid)) / 2));
    if opts.HeadersOnly
        fseek(fid, 2 * present, 'cof');
    else
        raw = reshape(fread(fid, present, 'int16=>int16', 0, 'ieee-be'), [], 1);
        present = numel(raw);  % fewer if reading failed
        block = addSamples(block, raw, opts.Step);
    end
    block.truncated = present < double(block.declared_samples);
    count = count + 1;
    if count > numel(blocks)  % grow by doubling: one copy per doubling
        blocks(2 * count, 1) = block;
    end
    blocks(count) = block;
    if block.truncated
        warning('quarvel:truncated', 'truncated block in input file %s: %d of %d samples read', ...
            filename, present, block.declared_samples);
        break;  % the samples took the rest of the file
    end
end
blocks = blocks(1:count);
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

function blocks = emptyBlocks()
% A 0-by-1 struct array with every field, in the order of the help text.
names = {'channel', 'period_ms', 'first_time', 'declared_samples', 'gain', 'offset', ...
    'raw', 'values', 'times', 'truncated'};
if inMatlab()  % datetime since R2014b; Octave has none
    names{end + 1} = 'datetime';
end
args = [names; repmat({cell(0, 1)}, 1, numel(names))];
blocks = struct(args{:});
end

function yes = inMatlab()
persistent matlab
if isempty(matlab)
    matlab = ~exist('OCTAVE_VERSION', 'builtin');
end
yes = matlab;
end

function block = decodeHeader(fields)
% One header's six fields, as uint32 in host order, into a block without samples.
block.channel = typecast(fields(1), 'int32');
block.period_ms = fields(2);
block.first_time = typecast(fields(3), 'int32');
block.declared_samples = typecast(fields(4), 'int32');
block.gain = typecast(fields(5), 'single');
block.offset = typecast(fields(6), 'single');
block.raw = zeros(0, 1, 'int16');
block.values = zeros(0, 1, 'single');
block.times = zeros(0, 1);
block.truncated = false;
if inMatlab()
    block.datetime = toDatetime(block.times);
end
end

function block = addSamples(block, raw, step)
% The samples present, every STEP-th one kept from the first on.
times = runningSum(double(block.first_time), periodSeconds(block.period_ms), numel(raw));
if step ~= 1
    raw = raw(1:step:end);
    times = times(1:step:end);
end
block.raw = raw;
block.values = calibrate(raw, block.gain, block.offset);
block.times = times;
if inMatlab()
    block.datetime = toDatetime(times);
end
end

function t = toDatetime(times)
t = datetime(times, 'ConvertFrom', 'posixtime', 'TimeZone', 'UTC');
end

function seconds = periodSeconds(period)
% The period steps as a signed 32-bit number of ms.
seconds = double(typecast(period, 'int32')) / 1000;
end

function t = runningSum(first, step, n)
% first, first + step, (first + step) + step, ...: each sum rounded to
% double, in order, as quarvel adds up its time stamps.
t = repmat(step, n, 1);
if n == 0
    return;
end
t(1) = first;
t = cumsum(t);
% Octave's cumsum adds in order, one element after the other (the tests
% check its sums to the bit). MATLAB does not document the order of its
% cumsum, so there every sum is checked, and the sums are redone one by
% one from the first that differs (a loop that MATLAB compiles).
if inMatlab() && ~isequal(t(2:end), t(1:end - 1) + step)
    k = find(t(2:end) ~= t(1:end - 1) + step, 1);
    for i = k + 1:n
        t(i) = t(i - 1) + step;
    end
end
end

function v = calibrate(raw, gain, offset)
% raw * gain + offset with the product and sum in double, rounded once to
% single. Two statements: the product is rounded before the sum.
product = double(raw) * double(gain);
v = single(product + double(offset));
if isfinite(gain) && isfinite(offset)
    return;  % then no value can be NaN
end
nans = isnan(v);
if ~any(nans)
    return;
end
% The sign of a NaN as quarvel gives it, whichever CPU computed it: a NaN
% gain's, else negative for 0 * inf, else a NaN offset's, else negative
% (inf - inf).
offsetNegative = ~isnan(offset) || signBit(offset);
if isnan(gain)
    negative = repmat(signBit(gain), nnz(nans), 1);
elseif isinf(gain)
    negative = raw(nans) == 0 | offsetNegative;
else
    negative = repmat(offsetNegative, nnz(nans), 1);
end
bits = typecast(v(nans), 'uint32');
bits(negative) = bitor(bits(negative), uint32(2147483648));
bits(~negative) = bitand(bits(~negative), uint32(2147483647));
v(nans) = typecast(bits, 'single');
end

function s = signBit(x)
s = bitget(typecast(single(x), 'uint32'), 32) == 1;
end
