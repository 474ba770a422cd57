// Measures quarvel's conversion speed against a straightforward printf-based
// converter and plain copies of the text, on four workloads:
//   big     one large file of 8 blocks, with the default record and all eight fields
//   tiny    one process per file, for 300 files of one 200-sample block, also
//           with the program linked fully statically and with a shared C++
//           runtime, against a static copy of the text file and `true`
//   files   2,000 files of one 500-sample block, all in one process
//   blocks  one file of 131,072 blocks of 64 samples, as a logger that starts
//           a new block per trigger, with both records
// It compares the CPU time (user + system) of the programs as wait4 reports
// it: on a shared machine wall time mostly measures the disk's writeback.
// The programs are started by a small helper process (bench/launch.cpp), so
// that their peak resident sets are their own.
// Every run writes new files, and stops the benchmark if any of quarvel's
// text files differs from the baseline's. Linux only.
//
// Usage: quarvel_bench [--only WORKLOAD[,WORKLOAD...]]... [--samples N] [--runs R] [--dir DIR]
#include "logbuilder.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int TINY_FILES = 300;
constexpr std::int32_t TINY_SAMPLES = 200;
constexpr int MANY_FILES = 2000;
constexpr std::int32_t MANY_FILES_SAMPLES = 500;
constexpr std::int32_t TRIGGER_BLOCKS = 131072;
constexpr std::int32_t TRIGGER_BLOCK_SAMPLES = 64;
constexpr std::size_t WRITE_CHUNK = std::size_t{1} << 16;  // bytes written or compared at once
const char* const WORKLOADS[] = {"big", "tiny", "files", "blocks"};
const std::string TEXT_SUFFIX = ".txt";  // quarvel's
const std::string BASELINE_SUFFIX = ".baseline";
const std::string COPY_SUFFIX = ".copy";

struct Measurement {
    double user = 0;
    double system = 0;
    double wall = 0;
    long peakKiB = 0;
    double cpu() const { return user + system; }
};

// One program's measurements, one per run.
using Series = std::vector<Measurement>;

struct Settings {
    std::int64_t samples = 8 * 1024 * 1024 + 1000;
    int runs = 5;
    std::filesystem::path dir = "/tmp/quarvel-bench";
    std::vector<std::string> only;  // empty: every workload
};

// One line of the closing table.
struct Summary {
    std::string workload;
    std::string ratios;
    long quarvelPeakKiB = 0;
};

// ---- test data

// A noisy sine wave, as a real channel gives. Amplitude plus noise stays
// within 16 bits.
struct Signal {
    double amplitude = 20000;
    double samplesPerRadian = 500;
    std::int64_t index = 0;
    std::uint32_t noise = 12345;
};

std::int16_t nextSample(Signal& signal)
{
    signal.noise = signal.noise * 1103515245U + 12345U;
    double wave = signal.amplitude * std::sin(static_cast<double>(signal.index++) / signal.samplesPerRadian);
    return static_cast<std::int16_t>(wave + static_cast<int>(signal.noise >> 20) - 2048);
}

void writeBytes(std::ofstream& out, const std::string& bytes)
{
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes the header, then the block's samples in pieces, so that a big
// block takes little memory.
void writeBlock(std::ofstream& out, const TestBlock& header, Signal& signal)
{
    writeBytes(out, encodeHeader(header));
    std::vector<std::int16_t> samples;
    samples.reserve(WRITE_CHUNK / 2);
    for (std::int32_t i = 0; i < header.totalSamples; ++i) {
        samples.push_back(nextSample(signal));
        if (samples.size() == WRITE_CHUNK / 2) {
            writeBytes(out, encodeSamples(samples));
            samples.clear();
        }
    }
    writeBytes(out, encodeSamples(samples));
}

// Eight blocks on different channels and periods, with calibrations of the
// kind a real logger has.
void writeBigLogFile(const std::filesystem::path& path, std::int64_t samples)
{
    const int blocks = 8;
    std::ofstream out(path, std::ios::binary);
    Signal signal;
    for (int b = 0; b < blocks; ++b) {
        TestBlock header{.adcChan = b,
            .samplePeriod = std::uint32_t{1} << (b % 4),
            .firstSampleTime = 1796083200 + b * 86400,
            .totalSamples = static_cast<std::int32_t>(samples / blocks + (b < samples % blocks ? 1 : 0)),
            .calGain = 0.00030519f * static_cast<float>(b + 1),
            .calOffset = -0.0123f * static_cast<float>(b),
            .samples = {}};
        signal.index = 0;
        writeBlock(out, header, signal);
    }
}

// The one block of small log `index`: each from its own channel, period,
// calibration and stretch of signal, so that no two files are alike.
void writeSmallLogFile(const std::filesystem::path& path, int index, std::int32_t samples)
{
    static constexpr std::uint32_t PERIODS[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
    // Volts per count of a 16-bit converter on three input ranges, and two
    // sensors' scales.
    static constexpr float GAINS[] = {0.00030519f, 0.00015259f, 0.000076294f, 0.0012207f, 0.0061035f};
    static constexpr float OFFSETS[] = {0.0f, -0.0123f, 0.0041f, -25.0f, 1.5f};
    const auto k = static_cast<std::size_t>(index);
    const float trim = 1.0f + 0.0001f * static_cast<float>(index % 37);  // each sensor's own calibration
    TestBlock header{.adcChan = index % 16,
        .samplePeriod = PERIODS[k % 10],
        .firstSampleTime = 1796083200 + index * 3607,
        .totalSamples = samples,
        .calGain = GAINS[k % 5] * trim,
        .calOffset = OFFSETS[(k / 5) % 5] * trim,
        .samples = {}};
    Signal signal{.amplitude = 6000 + 2000.0 * static_cast<double>(k % 10),
        .samplesPerRadian = 15 + 5.0 * static_cast<double>(k % 17),
        .index = std::int64_t{index} * 37,
        .noise = 12345U + 7919U * static_cast<std::uint32_t>(index)};
    std::ofstream out(path, std::ios::binary);
    writeBlock(out, header, signal);
}

std::vector<std::filesystem::path> writeSmallLogFiles(
    const std::filesystem::path& dir, char prefix, int count, std::int32_t samples)
{
    std::vector<std::filesystem::path> logs;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%c%04d", prefix, i);
        logs.push_back(dir / name);
        writeSmallLogFile(logs.back(), i, samples);
    }
    return logs;
}

// One channel logged a block per trigger: the same period and calibration
// throughout, each block starting when its trigger came.
void writeTriggeredLogFile(const std::filesystem::path& path)
{
    TestBlock header{.adcChan = 3,
        .samplePeriod = 10,
        .firstSampleTime = 1796083200,
        .totalSamples = TRIGGER_BLOCK_SAMPLES,
        .calGain = 0.00030519f,
        .calOffset = -0.0123f,
        .samples = {}};
    Signal signal{.amplitude = 18000, .samplesPerRadian = 40, .index = 0, .noise = 54321};
    std::uint32_t trigger = 2024;
    std::ofstream out(path, std::ios::binary);
    for (std::int32_t b = 0; b < TRIGGER_BLOCKS; ++b) {
        writeBlock(out, header, signal);
        trigger = trigger * 1103515245U + 12345U;
        header.firstSampleTime += 1 + static_cast<std::int32_t>((trigger >> 16) % 60);  // 1 to 60 s later
    }
}

// ---- running and measuring

// The process that starts every measured program (bench/launch.cpp).
struct Launcher {
    pid_t pid = 0;
    std::FILE* commands = nullptr;
    std::FILE* replies = nullptr;
};

Launcher launcher;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "failed: %s\n", what);
    std::exit(1);
}

void startLauncher()
{
    int commands[2];
    int replies[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 0);
    posix_spawn_file_actions_adddup2(&actions, replies[1], 1);
    char* argv[] = {const_cast<char*>(LAUNCH_BINARY), nullptr};
    int error = posix_spawn(&launcher.pid, LAUNCH_BINARY, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(commands[0]);
    close(replies[1]);
    if (error != 0)
        fail(LAUNCH_BINARY);
    launcher.commands = fdopen(commands[1], "w");
    launcher.replies = fdopen(replies[0], "r");
}

void stopLauncher()
{
    std::fclose(launcher.commands);  // the launcher ends at the end of its input
    std::fclose(launcher.replies);
    waitpid(launcher.pid, nullptr, 0);
}

// Runs `command`, with standard input and output on /dev/null, and stops
// the benchmark if it fails.
Measurement run(const std::vector<std::string>& command)
{
    for (const std::string& arg : command)
        std::fwrite(arg.c_str(), 1, arg.size() + 1, launcher.commands);
    std::fputc('\0', launcher.commands);
    std::fflush(launcher.commands);
    int status = -1;
    long user = 0;
    long system = 0;
    long peakKiB = 0;
    long long wall = 0;
    if (std::fscanf(launcher.replies, "%d %ld %ld %ld %lld", &status, &user, &system, &peakKiB, &wall) != 5
        || status != 0)
        fail(command[0].c_str());
    return {.user = static_cast<double>(user) / 1e6,
        .system = static_cast<double>(system) / 1e6,
        .wall = static_cast<double>(wall) / 1e9,
        .peakKiB = peakKiB};
}

// Adds one process to the total of a run; the peak is the largest.
void accumulate(Measurement& total, const Measurement& m)
{
    total.user += m.user;
    total.system += m.system;
    total.wall += m.wall;
    total.peakKiB = std::max(total.peakKiB, m.peakKiB);
}

// Medians over the runs, but the largest peak.
Measurement median(const Series& runs)
{
    auto middle = [&runs](auto field) {
        std::vector<double> values;
        for (const Measurement& m : runs)
            values.push_back(field(m));
        std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
        return values[values.size() / 2];
    };
    Measurement m;
    m.user = middle([](const Measurement& r) { return r.user; });
    m.wall = middle([](const Measurement& r) { return r.wall; });
    // The CPU median is taken over the sums, not summed from two medians.
    m.system = middle([](const Measurement& r) { return r.cpu(); }) - m.user;
    for (const Measurement& r : runs)
        m.peakKiB = std::max(m.peakKiB, r.peakKiB);
    return m;
}

// ---- files

bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b)
{
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> x(WRITE_CHUNK);
    std::vector<char> y(WRITE_CHUNK);
    while (first && second) {
        first.read(x.data(), static_cast<std::streamsize>(x.size()));
        second.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (first.gcount() != second.gcount() || !std::equal(x.begin(), x.begin() + first.gcount(), y.begin()))
            return false;
    }
    return first.eof() && second.eof();
}

void requireSame(const std::filesystem::path& a, const std::filesystem::path& b, const char* workload)
{
    if (!sameBytes(a, b)) {
        std::fprintf(stderr, "%s: %s differs from %s\n", workload, a.c_str(), b.c_str());
        std::exit(1);
    }
}

std::vector<std::filesystem::path> withSuffix(
    const std::vector<std::filesystem::path>& paths, const std::string& suffix)
{
    std::vector<std::filesystem::path> result;
    result.reserve(paths.size());
    for (const std::filesystem::path& path : paths)
        result.push_back(path.string() + suffix);
    return result;
}

// Old outputs go before a run: freeing their pages is no part of the work
// measured.
void removeFiles(const std::vector<std::filesystem::path>& paths)
{
    for (const std::filesystem::path& path : paths)
        std::filesystem::remove(path);
}

std::vector<std::string> withFiles(std::vector<std::string> command, const std::vector<std::filesystem::path>& files)
{
    for (const std::filesystem::path& file : files)
        command.push_back(file.string());
    return command;
}

double totalMegabytes(const std::vector<std::filesystem::path>& paths)
{
    std::uintmax_t bytes = 0;
    for (const std::filesystem::path& path : paths)
        bytes += std::filesystem::file_size(path);
    return static_cast<double>(bytes) / 1e6;
}

// A fresh folder for a workload's files.
std::filesystem::path workloadDir(const Settings& settings, const char* workload)
{
    std::filesystem::path dir = settings.dir / workload;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// ---- reports

// One program's figures, times multiplied by `scale` and shown in `unit`.
// The kernel splits CPU time into user and system by sampling at clock
// ticks, which says nothing of a process of a millisecond: `split` false
// leaves the split out.
void printRow(const char* name, const Measurement& m, double scale, const char* unit, bool split = true)
{
    char splitText[64] = "";
    if (split)
        std::snprintf(splitText, sizeof splitText, "(user %8.3f, sys %8.3f)", m.user * scale, m.system * scale);
    std::printf("  %-9s cpu %8.3f %-2s %-30s  wall %8.3f  peak %5.1f MB\n", name, m.cpu() * scale, unit, splitText,
        m.wall * scale, static_cast<double>(m.peakKiB) / 1024);
}

std::string formatRatios(const char* firstName, double first, const char* secondName = nullptr, double second = 0)
{
    char text[160];
    int used = std::snprintf(text, sizeof text, "%-17s %6.2f", firstName, first);
    if (secondName != nullptr)
        std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "   %-17s %6.2f", secondName, second);
    return text;
}

void printSummary(const std::vector<Summary>& lines)
{
    std::printf("summary: ratios of median CPU time; peak: quarvel's largest resident set\n");
    for (const Summary& line : lines)
        std::printf("  %-25s %-51s peak %5.1f MB\n", line.workload.c_str(), line.ratios.c_str(),
            static_cast<double>(line.quarvelPeakKiB) / 1024);
}

// ---- workloads

// quarvel and the baseline on one file; with `withCopies`, also dd copying
// quarvel's text in 1 MB pieces and in pieces the size of quarvel's writes.
Summary benchmarkOneFile(const Settings& settings, const std::filesystem::path& log, const std::string& workload,
    const std::string& flags, bool withCopies)
{
    const std::filesystem::path output = log.string() + TEXT_SUFFIX;
    const std::filesystem::path baseline = log.string() + BASELINE_SUFFIX;
    const std::filesystem::path copy = output.string() + COPY_SUFFIX;
    Series quarvel, printfBaseline, dd, ddFlushSized;
    std::string flushBlock;  // the bytes between two flushes of quarvel's output, on average
    for (int i = 0; i < settings.runs; ++i) {
        removeFiles({output, baseline, copy});
        quarvel.push_back(run({QUARVEL_BINARY, "-q" + flags, log.string()}));
        printfBaseline.push_back(run({BASELINE_BINARY, "-" + flags, BASELINE_SUFFIX, log.string()}));
        requireSame(output, baseline, workload.c_str());
        if (!withCopies)
            continue;
        dd.push_back(run({"dd", "if=" + output.string(), "of=" + copy.string(), "bs=1M", "status=none"}));
        if (flushBlock.empty()) {
            auto flushes = static_cast<std::uintmax_t>(settings.samples / 1024 + 1);
            flushBlock = "bs=" + std::to_string(std::filesystem::file_size(output) / flushes + 1);
        }
        std::filesystem::remove(copy);
        ddFlushSized.push_back(run({"dd", "if=" + output.string(), "of=" + copy.string(), flushBlock, "status=none"}));
    }
    const Measurement q = median(quarvel);
    const Measurement b = median(printfBaseline);
    std::printf("%s (quarvel -q%s): %.1f MB of text, identical to the baseline's\n", workload.c_str(), flags.c_str(),
        static_cast<double>(std::filesystem::file_size(output)) / 1e6);
    printRow("quarvel", q, 1, "s");
    printRow("baseline", b, 1, "s");
    Summary summary{workload, formatRatios("baseline/quarvel", b.cpu() / q.cpu()), q.peakKiB};
    if (withCopies) {
        const Measurement d = median(dd);
        const Measurement f = median(ddFlushSized);
        printRow("dd copy", d, 1, "s");
        printRow("dd flush", f, 1, "s");
        std::printf("  (dd flush: the same copy in pieces of %s bytes, quarvel's writes between two flushes)\n",
            flushBlock.c_str() + 3);
        std::printf("  baseline/quarvel %.2f   quarvel/dd copy %.2f   quarvel/dd flush %.2f\n\n", b.cpu() / q.cpu(),
            q.cpu() / d.cpu(), q.cpu() / f.cpu());
        summary.ratios = formatRatios("baseline/quarvel", b.cpu() / q.cpu(), "quarvel/dd copy", q.cpu() / d.cpu());
    } else {
        std::printf("  baseline/quarvel %.2f\n\n", b.cpu() / q.cpu());
    }
    removeFiles({output, baseline, copy});
    return summary;
}

std::vector<Summary> benchmarkBig(const Settings& settings)
{
    const std::filesystem::path log = workloadDir(settings, "big") / "log.bin";
    writeBigLogFile(log, settings.samples);
    std::printf("big: one file of %lld samples in 8 blocks\n", static_cast<long long>(settings.samples));
    std::vector<Summary> lines{benchmarkOneFile(settings, log, "big, default record", "", true),
        benchmarkOneFile(settings, log, "big, all eight fields", "tcpNgor", true)};
    std::filesystem::remove_all(settings.dir / "big");
    return lines;
}

// quarvel and the baseline each started once per file, taking turns so that
// the machine's noise falls on both alike; `true` shows what starting any
// process costs. The figures are per process.
Summary benchmarkTiny(const Settings& settings)
{
    const std::filesystem::path dir = workloadDir(settings, "tiny");
    const std::vector<std::filesystem::path> logs = writeSmallLogFiles(dir, 't', TINY_FILES, TINY_SAMPLES);
    const std::vector<std::filesystem::path> outputs = withSuffix(logs, TEXT_SUFFIX);
    const std::vector<std::filesystem::path> baselines = withSuffix(logs, BASELINE_SUFFIX);
    const std::vector<std::filesystem::path> copies = withSuffix(outputs, COPY_SUFFIX);
    Series quarvel, fullyStatic, sharedRuntime, printfBaseline, copy, nothing;
    for (int i = 0; i < settings.runs; ++i) {
        removeFiles(outputs);
        removeFiles(baselines);
        removeFiles(copies);
        Measurement q, s, d, b, c, t;
        for (std::size_t f = 0; f < logs.size(); ++f) {
            const std::string log = logs[f].string();
            // Each build creates the text file anew, as the baseline does;
            // the default build goes last: its text is the one compared.
            accumulate(s, run({STATIC_BINARY, "-q", log}));
            std::filesystem::remove(outputs[f]);
            accumulate(d, run({SHARED_BINARY, "-q", log}));
            std::filesystem::remove(outputs[f]);
            accumulate(q, run({QUARVEL_BINARY, "-q", log}));
            accumulate(b, run({BASELINE_BINARY, "-", BASELINE_SUFFIX, log}));
            accumulate(c, run({COPY_STATIC_BINARY, COPY_SUFFIX, outputs[f].string()}));
            accumulate(t, run({"true"}));
        }
        for (std::size_t f = 0; f < logs.size(); ++f)
            requireSame(outputs[f], baselines[f], "tiny");
        quarvel.push_back(q);
        fullyStatic.push_back(s);
        sharedRuntime.push_back(d);
        printfBaseline.push_back(b);
        copy.push_back(c);
        nothing.push_back(t);
    }
    const Measurement q = median(quarvel);
    const Measurement s = median(fullyStatic);
    const Measurement b = median(printfBaseline);
    const Measurement c = median(copy);
    const Measurement t = median(nothing);
    std::printf("tiny: %d processes each, one per file of one %d-sample block (quarvel -q FILE),\n"
                "  %.1f MB of text in all, identical to the baseline's; figures per process\n",
        TINY_FILES, TINY_SAMPLES, totalMegabytes(outputs));
    const double perProcess = 1e3 / TINY_FILES;
    printRow("quarvel", q, perProcess, "ms", false);
    printRow("static", s, perProcess, "ms", false);
    printRow("shared", median(sharedRuntime), perProcess, "ms", false);
    printRow("baseline", b, perProcess, "ms", false);
    printRow("copy", c, perProcess, "ms", false);
    printRow("true", t, perProcess, "ms", false);
    std::printf(
        "  (quarvel: the default build, C++ runtime linked in; static: linked fully statically, as the\n"
        "  release programs; shared: shared C++ runtime, as the Debian package; copy: a static C-style\n"
        "  process that copies the text file, the least a process that writes it can cost)\n"
        "  quarvel/baseline %.2f   static/quarvel %.2f   shared/quarvel %.2f   static/copy %.2f   static/true %.2f\n\n",
        q.cpu() / b.cpu(), s.cpu() / q.cpu(), median(sharedRuntime).cpu() / q.cpu(), s.cpu() / c.cpu(),
        s.cpu() / t.cpu());
    std::filesystem::remove_all(dir);
    return {"tiny (per process)", formatRatios("quarvel/baseline", q.cpu() / b.cpu(), "static/true", s.cpu() / t.cpu()),
        q.peakKiB};
}

// One process of quarvel, of the baseline, and of a plain copy of quarvel's
// text files, each over all the files.
Summary benchmarkFiles(const Settings& settings)
{
    const std::filesystem::path dir = workloadDir(settings, "files");
    const std::vector<std::filesystem::path> logs = writeSmallLogFiles(dir, 'f', MANY_FILES, MANY_FILES_SAMPLES);
    const std::vector<std::filesystem::path> outputs = withSuffix(logs, TEXT_SUFFIX);
    const std::vector<std::filesystem::path> baselines = withSuffix(logs, BASELINE_SUFFIX);
    const std::vector<std::filesystem::path> copies = withSuffix(outputs, COPY_SUFFIX);
    Series quarvel, printfBaseline, copy;
    for (int i = 0; i < settings.runs; ++i) {
        removeFiles(outputs);
        removeFiles(baselines);
        removeFiles(copies);
        quarvel.push_back(run(withFiles({QUARVEL_BINARY, "-q"}, logs)));
        printfBaseline.push_back(run(withFiles({BASELINE_BINARY, "-", BASELINE_SUFFIX}, logs)));
        copy.push_back(run(withFiles({COPY_BINARY, COPY_SUFFIX}, outputs)));
        for (std::size_t f = 0; f < logs.size(); ++f) {
            requireSame(outputs[f], baselines[f], "files");
            requireSame(outputs[f], copies[f], "files");
        }
    }
    const Measurement q = median(quarvel);
    const Measurement b = median(printfBaseline);
    const Measurement c = median(copy);
    std::printf("files: %d files of one %d-sample block in one process (quarvel -q FILE...),\n"
                "  %.1f MB of text in all, identical to the baseline's\n",
        MANY_FILES, MANY_FILES_SAMPLES, totalMegabytes(outputs));
    printRow("quarvel", q, 1, "s");
    printRow("baseline", b, 1, "s");
    printRow("copy", c, 1, "s");
    std::printf("  quarvel/copy %.2f   baseline/quarvel %.2f\n\n", q.cpu() / c.cpu(), b.cpu() / q.cpu());
    std::filesystem::remove_all(dir);
    return {"files", formatRatios("quarvel/copy", q.cpu() / c.cpu(), "baseline/quarvel", b.cpu() / q.cpu()), q.peakKiB};
}

std::vector<Summary> benchmarkBlocks(const Settings& settings)
{
    const std::filesystem::path log = workloadDir(settings, "blocks") / "log.bin";
    writeTriggeredLogFile(log);
    std::printf("blocks: one file of %d blocks of %d samples, one channel, a block per trigger\n", TRIGGER_BLOCKS,
        TRIGGER_BLOCK_SAMPLES);
    std::vector<Summary> lines{benchmarkOneFile(settings, log, "blocks, default record", "", false),
        benchmarkOneFile(settings, log, "blocks, all eight fields", "tcpNgor", false)};
    std::filesystem::remove_all(settings.dir / "blocks");
    return lines;
}

// ---- command line

[[noreturn]] void usage()
{
    std::fputs("usage: quarvel_bench [--only WORKLOAD[,WORKLOAD...]]... [--samples N] [--runs R] [--dir DIR]\n"
               "workloads: big, tiny, files, blocks (default: all)\n",
        stderr);
    std::exit(2);
}

void addWorkloads(Settings& settings, const std::string& list)
{
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = std::min(list.find(',', start), list.size());
        std::string name = list.substr(start, end - start);
        if (std::find(std::begin(WORKLOADS), std::end(WORKLOADS), name) == std::end(WORKLOADS)) {
            std::fprintf(stderr, "unknown workload: '%s'\n", name.c_str());
            usage();
        }
        settings.only.push_back(name);
        start = end + 1;
    }
}

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (i + 1 >= argc)
            usage();
        std::string value = argv[i + 1];
        if (name == "--only")
            addWorkloads(settings, value);
        else if (name == "--samples")
            settings.samples = std::max(1LL, std::atoll(value.c_str()));
        else if (name == "--runs")
            settings.runs = std::max(1, std::atoi(value.c_str()));
        else if (name == "--dir")
            settings.dir = value;
        else
            usage();
    }
    return settings;
}

bool selected(const Settings& settings, const std::string& workload)
{
    return settings.only.empty()
        || std::find(settings.only.begin(), settings.only.end(), workload) != settings.only.end();
}

}  // namespace

int main(int argc, char** argv)
{
    const Settings settings = parseArguments(argc, argv);
    std::filesystem::create_directories(settings.dir);
    startLauncher();
    // Unset, glibc's localtime checks /etc/localtime at every call: once per block.
    const char* zone = std::getenv("TZ");
    std::printf("%d runs of each; medians of CPU time (user + system), peak: largest resident set; TZ %s\n\n",
        settings.runs, zone == nullptr ? "unset" : zone);
    std::vector<Summary> summary;
    if (selected(settings, "big")) {
        const std::vector<Summary> lines = benchmarkBig(settings);
        summary.insert(summary.end(), lines.begin(), lines.end());
    }
    if (selected(settings, "tiny"))
        summary.push_back(benchmarkTiny(settings));
    if (selected(settings, "files"))
        summary.push_back(benchmarkFiles(settings));
    if (selected(settings, "blocks")) {
        const std::vector<Summary> lines = benchmarkBlocks(settings);
        summary.insert(summary.end(), lines.begin(), lines.end());
    }
    stopLauncher();
    printSummary(summary);
    std::error_code ignored;
    std::filesystem::remove(settings.dir, ignored);  // only if empty: it may be the user's own folder
    return 0;
}
