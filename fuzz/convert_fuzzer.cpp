// Feeds arbitrary bytes through the block reader and the whole conversion,
// with run settings taken from the first three bytes, and checks the text
// file against a printf-based reference converter, or that bytes that look
// like quarvel's own text are refused.
#include "convert.h"
#include "operands.h"
#include "owntext.h"
#include "reference.h"

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

RunSettings settingsFrom(const std::uint8_t* data)
{
    RunSettings settings;
    settings.doTime = data[0] & 1;
    settings.doChannel = data[0] & 2;
    settings.doPeriod = data[0] & 4;
    settings.doSamples = data[0] & 8;
    settings.doGain = data[0] & 16;
    settings.doOffset = data[0] & 32;
    settings.doRaw = data[0] & 64;
    settings.doCal = data[0] & 128;
    settings.headers = 1 + data[1] % 3;
    auto modulus = static_cast<std::int8_t>(data[2]);
    settings.modulus = modulus == 0 ? INT32_MIN : modulus == 127 ? INT32_MAX : modulus;
    settings.verbose = false;
    return settings;
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
    const RunSettings settings = settingsFrom(data);
    std::string bytes(reinterpret_cast<const char*>(data) + 3, size - 3);
    std::ofstream(logPath, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const std::string textPath = logPath + ".txt";
    std::filesystem::remove(textPath);
    char* operands[] = {logPath.data()};
    const int status = failed(processFile(logPath.c_str(), settings, lookUpOperands(operands, 1), state)) ? 1 : 0;
    // Bytes that start as quarvel's own text are refused, and no text file
    // is made; nothing else here can fail to open, read or write.
    if (isOwnText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) {
        if (status != 1 || std::filesystem::exists(textPath))
            std::abort();
        return 0;
    }
    if (status != 0)
        std::abort();
    bool truncated = false;
    if (readAll(textPath) != referenceConvert(bytes, settings, truncated))
        std::abort();
    return 0;
}
