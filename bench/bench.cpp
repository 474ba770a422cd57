// Measures quarvel's conversion speed on a large synthetic logger file,
// against a straightforward printf-based converter and a plain copy of the
// output. Compares CPU time (user + system): on shared machines wall time
// mostly measures the disk's writeback.
//
// Usage: quarvel_bench [--samples N] [--runs R] [--dir DIR]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Measurement {
    double user = 0;
    double system = 0;
    double wall = 0;
    long peakKiB = 0;
    double cpu() const { return user + system; }
};

struct Settings {
    std::int64_t samples = 8 * 1024 * 1024 + 1000;
    int runs = 5;
    std::filesystem::path dir = "/tmp/quarvel-bench";
};

void appendBigEndian(std::string& bytes, std::uint32_t value, int size)
{
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 0xff);
}

// Eight blocks of a noisy sine wave on different channels and periods,
// with calibrations of the kind a real logger has.
void writeLogFile(const std::filesystem::path& path, std::int64_t samples)
{
    const int blocks = 8;
    std::ofstream out(path, std::ios::binary);
    std::uint32_t noise = 12345;
    for (int b = 0; b < blocks; ++b) {
        std::int64_t count = samples / blocks + (b < samples % blocks ? 1 : 0);
        float gain = 0.00030519f * static_cast<float>(b + 1);
        float offset = -0.0123f * static_cast<float>(b);
        std::uint32_t period = std::uint32_t{1} << (b % 4);
        std::string bytes;
        appendBigEndian(bytes, static_cast<std::uint32_t>(b), 4);
        appendBigEndian(bytes, period, 4);
        appendBigEndian(bytes, 1796083200U + static_cast<std::uint32_t>(b) * 86400U, 4);
        appendBigEndian(bytes, static_cast<std::uint32_t>(count), 4);
        std::uint32_t bits;
        std::memcpy(&bits, &gain, 4);
        appendBigEndian(bytes, bits, 4);
        std::memcpy(&bits, &offset, 4);
        appendBigEndian(bytes, bits, 4);
        for (std::int64_t i = 0; i < count; ++i) {
            noise = noise * 1103515245U + 12345U;
            double wave = 20000 * std::sin(static_cast<double>(i) / 500.0);
            auto sample = static_cast<std::int16_t>(wave + static_cast<int>(noise >> 20) - 2048);
            appendBigEndian(bytes, static_cast<std::uint16_t>(sample), 2);
        }
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

Measurement run(const std::vector<std::string>& command)
{
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char*> argv;
        for (const std::string& arg : command)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "failed: %s\n", command[0].c_str());
        std::exit(1);
    }
    Measurement m;
    m.user = static_cast<double>(usage.ru_utime.tv_sec) + static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
    m.system = static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
    m.wall = std::chrono::duration<double>(end - start).count();
    m.peakKiB = usage.ru_maxrss;
    return m;
}

bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b)
{
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    std::vector<char> x(1 << 20);
    std::vector<char> y(1 << 20);
    while (first && second) {
        first.read(x.data(), static_cast<std::streamsize>(x.size()));
        second.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (first.gcount() != second.gcount() || !std::equal(x.begin(), x.begin() + first.gcount(), y.begin()))
            return false;
    }
    return first.eof() && second.eof();
}

Measurement median(std::vector<Measurement> runs)
{
    auto middle = [&runs](auto field) {
        std::vector<double> values;
        for (const Measurement& m : runs)
            values.push_back(static_cast<double>(field(m)));
        std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
        return values[values.size() / 2];
    };
    Measurement m;
    m.user = middle([](const Measurement& r) { return r.user; });
    m.system = middle([](const Measurement& r) { return r.system; });
    m.wall = middle([](const Measurement& r) { return r.wall; });
    m.peakKiB = static_cast<long>(middle([](const Measurement& r) { return r.peakKiB; }));
    // The CPU median is taken over the sums, not summed from two medians.
    double cpu = middle([](const Measurement& r) { return r.cpu(); });
    m.system = cpu - m.user;
    return m;
}

void report(const char* name, const Measurement& m, std::int64_t records, double megabytes)
{
    std::printf("  %-9s cpu %7.3f s (user %7.3f, sys %6.3f)  wall %7.3f s  %7.1f Mrec/s  %7.1f MB/s  peak %6.1f MB\n",
        name, m.cpu(), m.user, m.system, m.wall, static_cast<double>(records) / m.cpu() / 1e6, megabytes / m.cpu(),
        static_cast<double>(m.peakKiB) / 1024);
}

void benchmark(const Settings& settings, const char* label, const std::string& flags)
{
    const std::filesystem::path log = settings.dir / "log.bin";
    const std::filesystem::path output = settings.dir / "log.bin.txt";
    const std::filesystem::path baseline = settings.dir / "log.bin.baseline";
    const std::filesystem::path copy = settings.dir / "copy.txt";
    std::vector<Measurement> quarvel, printfBaseline, dd, ddFlushSized;
    std::string flushBlock;  // the bytes between two flushes of quarvel's output, on average
    for (int i = 0; i < settings.runs; ++i) {
        // Every program writes a new file: freeing an old one's pages is no
        // part of the work measured.
        std::filesystem::remove(output);
        std::filesystem::remove(baseline);
        std::filesystem::remove(copy);
        quarvel.push_back(run({QUARVEL_BINARY, "-q" + flags, log.string()}));
        printfBaseline.push_back(run({BASELINE_BINARY, "-" + flags, ".baseline", log.string()}));
        if (!sameBytes(output, baseline)) {
            std::fprintf(stderr, "%s: quarvel's output differs from the baseline's\n", label);
            std::exit(1);
        }
        dd.push_back(run({"dd", "if=" + output.string(), "of=" + copy.string(), "bs=1M", "status=none"}));
        if (flushBlock.empty()) {
            auto flushes = static_cast<std::uintmax_t>(settings.samples / 1024 + 1);
            flushBlock = "bs=" + std::to_string(std::filesystem::file_size(output) / flushes + 1);
        }
        std::filesystem::remove(copy);
        ddFlushSized.push_back(run({"dd", "if=" + output.string(), "of=" + copy.string(), flushBlock, "status=none"}));
    }
    double megabytes = static_cast<double>(std::filesystem::file_size(output)) / 1e6;
    Measurement q = median(quarvel);
    Measurement b = median(printfBaseline);
    Measurement d = median(dd);
    Measurement f = median(ddFlushSized);
    std::printf("%s (quarvel -q%s): %lld records, %.1f MB of text, output identical to the baseline's\n", label,
        flags.c_str(), static_cast<long long>(settings.samples), megabytes);
    report("quarvel", q, settings.samples, megabytes);
    report("baseline", b, settings.samples, megabytes);
    report("dd copy", d, settings.samples, megabytes);
    report("dd flush", f, settings.samples, megabytes);
    std::printf("  quarvel uses %.1fx less CPU than the baseline, %.2fx the CPU of the copy\n", b.cpu() / q.cpu(),
        q.cpu() / d.cpu());
    std::printf("  (dd flush: the same copy in pieces of %s bytes, the size of quarvel's writes between two\n"
                "  flushes; quarvel uses %.2fx its CPU)\n\n",
        flushBlock.c_str() + 3, q.cpu() / f.cpu());
    std::filesystem::remove(baseline);
    std::filesystem::remove(copy);
}

Settings parseArguments(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--samples")
            settings.samples = std::atoll(argv[i + 1]);
        else if (name == "--runs")
            settings.runs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--dir")
            settings.dir = argv[i + 1];
    }
    return settings;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings = parseArguments(argc, argv);
    std::filesystem::create_directories(settings.dir);
    writeLogFile(settings.dir / "log.bin", settings.samples);
    std::printf(
        "%lld samples in 8 blocks, %d runs each, medians\n\n", static_cast<long long>(settings.samples), settings.runs);
    benchmark(settings, "default record", "");
    benchmark(settings, "all eight fields", "tcpNgor");
    std::filesystem::remove_all(settings.dir);
    return 0;
}
