// Feeds arbitrary argument vectors, with and without
// POSIXLY_INCORRECT_GETOPT, through the option scanner and what main does
// before converting files, and checks that operands are only ever reordered.
#include "getopt.h"
#include "settings.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MAX_ARGUMENTS = 64;

// Splits the bytes at NULs into arguments.
std::vector<std::string> argumentsFrom(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> arguments{"/usr/bin/quarvel"};
    std::string current;
    for (std::size_t i = 0; i < size && arguments.size() < MAX_ARGUMENTS; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty())
        arguments.push_back(current);
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    bool permute = data[0] & 1;
    if (permute)
        setenv("POSIXLY_INCORRECT_GETOPT", data[0] & 2 ? "" : "1", 1);
    else
        unsetenv("POSIXLY_INCORRECT_GETOPT");
    std::vector<std::string> arguments = argumentsFrom(data + 1, size - 1);
    std::vector<std::string> storage = arguments;
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(storage.size());

    RunSettings settings;
    quarvel::OptionScan scan;
    CommandLine outcome = scanCommandLine(argc, argv.data(), settings, scan);
    std::vector<std::string> after(argv.begin(), argv.begin() + argc);
    if (!permute && after != arguments)
        std::abort();  // only the permuting mode may reorder
    std::vector<std::string> sortedBefore = arguments;
    std::sort(sortedBefore.begin(), sortedBefore.end());
    std::sort(after.begin(), after.end());
    if (after != sortedBefore)
        std::abort();
    if (outcome == CommandLine::USAGE && (argc != 1 || usageText().empty()))
        std::abort();
    if (outcome == CommandLine::CONVERT) {
        if (scan.optind < 1 || scan.optind > argc || settings.modulus == 0)
            std::abort();
        if (settingsReport(settings).find("output record format: ") == std::string::npos)
            std::abort();
    }
    return 0;
}
