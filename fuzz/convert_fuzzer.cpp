// Feeds arbitrary bytes through the block reader and the whole conversion,
// with run settings taken from the first three bytes, and checks the text
// file against a printf-based reference converter.
#include "convert.h"
#include "reference.h"
#include "settings.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string logPath;
// Kept from input to input, as the file loop keeps it from file to file.
ConversionState state;

ReferenceOptions optionsFrom(const std::uint8_t* data)
{
    ReferenceOptions options;
    options.time = data[0] & 1;
    options.channel = data[0] & 2;
    options.period = data[0] & 4;
    options.samples = data[0] & 8;
    options.gain = data[0] & 16;
    options.offset = data[0] & 32;
    options.raw = data[0] & 64;
    options.cal = data[0] & 128;
    options.headers = 1 + data[1] % 3;
    auto modulus = static_cast<std::int8_t>(data[2]);
    options.modulus = modulus == 0 ? INT32_MIN : modulus == 127 ? INT32_MAX : modulus;
    return options;
}

void applySettings(const ReferenceOptions& options)
{
    settings = RunSettings{};
    settings.doTime = options.time;
    settings.doChannel = options.channel;
    settings.doPeriod = options.period;
    settings.doSamples = options.samples;
    settings.doGain = options.gain;
    settings.doOffset = options.offset;
    settings.doRaw = options.raw;
    settings.doCal = options.cal;
    settings.headers = options.headers;
    settings.modulus = options.modulus;
    settings.verbose = false;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("TZ", "UTC", 1);
    tzset();
    auto dir = std::filesystem::temp_directory_path() / ("quarvel-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    logPath = (dir / "log").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    ReferenceOptions options = optionsFrom(data);
    std::string bytes(reinterpret_cast<const char*>(data) + 3, size - 3);
    std::ofstream(logPath, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    applySettings(options);
    if (processFile(logPath.c_str(), state) != 0)
        std::abort();  // nothing here can fail to open, read or write
    bool truncated = false;
    if (readAll(logPath + ".txt") != referenceConvert(bytes, options, truncated))
        std::abort();
    return 0;
}
