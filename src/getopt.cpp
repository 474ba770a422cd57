#include "getopt.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quarvel {

namespace {

void warnx(const char* invocationName, const char* message, unsigned char letter)
{
    const std::string_view name = programName(invocationName);
    std::fprintf(stderr, "%.*s: %s -- %c\n", static_cast<int>(name.size()), name.data(), message, letter);
}

bool endsOptions(const char* arg)
{
    return arg[0] == '-' && arg[1] == '-';
}

bool isOptionGroup(const char* arg)
{
    return arg[0] == '-' && arg[1] != '\0';
}

bool isOptionLetter(unsigned char letter, const char* optionString)
{
    return letter != ':' && letter != '\0' && std::strchr(optionString, letter) != nullptr;
}

bool takesValue(unsigned char letter, const char* optionString)
{
    return std::strchr(optionString, letter)[1] == ':';
}

// Moves the option arguments scanned since the skipped operands in front
// of them, so that the operands stay together and in order.
void moveOptionsBeforeSkipped(OptionScan& scan, char** argv)
{
    if (scan.skippedBegin < scan.skippedEnd && scan.skippedEnd < scan.optind) {
        std::rotate(argv + scan.skippedBegin, argv + scan.skippedEnd, argv + scan.optind);
        scan.skippedBegin += scan.optind - scan.skippedEnd;
    } else if (scan.skippedBegin == scan.skippedEnd) {
        scan.skippedBegin = scan.optind;
    }
    scan.skippedEnd = scan.optind;
}

// Finds the next option group; returns false when the options have ended.
bool startGroup(OptionScan& scan, int argc, char** argv, bool permute)
{
    if (permute) {
        moveOptionsBeforeSkipped(scan, argv);
        while (scan.optind < argc && !isOptionGroup(argv[scan.optind]))
            ++scan.optind;
        scan.skippedEnd = scan.optind;
    }
    if (scan.optind < argc && endsOptions(argv[scan.optind])) {
        ++scan.optind;
        if (permute) {
            moveOptionsBeforeSkipped(scan, argv);
            scan.optind = scan.skippedBegin;
        }
        return false;
    }
    if (scan.optind >= argc || !isOptionGroup(argv[scan.optind])) {
        if (permute)
            scan.optind = scan.skippedBegin;
        return false;
    }
    scan.nextLetter = argv[scan.optind] + 1;
    return true;
}

int optionError(OptionScan& scan, const char* invocationName, const char* message, unsigned char letter)
{
    if (scan.opterr)
        warnx(invocationName, message, letter);
    scan.optopt = letter;
    return '?';
}

}  // namespace

std::string_view programName(const char* argv0)
{
    if (argv0 == nullptr)
        return "quarvel";
    std::string_view name = argv0;
#ifdef _WIN32
    // Windows names the program by its whole path, with either separator, a
    // drive, and the extension, which the name shown leaves out.
    name.remove_prefix(name.find_last_of("/\\:") + 1);  // npos + 1 is 0
    constexpr std::string_view EXTENSION = ".exe";
    if (name.size() > EXTENSION.size()) {
        std::string_view end = name.substr(name.size() - EXTENSION.size());
        bool isExtension = std::equal(end.begin(), end.end(), EXTENSION.begin(),
            [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
        if (isExtension)
            name.remove_suffix(EXTENSION.size());
    }
#else
    name.remove_prefix(name.find_last_of('/') + 1);  // npos + 1 is 0
#endif
    return name;
}

int getopt(OptionScan& scan, int argc, char** argv, const char* optionString)
{
    bool permute = std::getenv("POSIXLY_INCORRECT_GETOPT") != nullptr;
    scan.optarg = nullptr;
    if (scan.nextLetter == nullptr || *scan.nextLetter == '\0') {
        scan.nextLetter = nullptr;
        if (!startGroup(scan, argc, argv, permute))
            return -1;
    }
    auto letter = static_cast<unsigned char>(*scan.nextLetter++);
    const char* valueStart = scan.nextLetter;
    bool groupDone = *scan.nextLetter == '\0';
    if (!isOptionLetter(letter, optionString)) {
        if (groupDone)
            ++scan.optind;
        return optionError(scan, argv[0], "unknown option", letter);
    }
    if (!takesValue(letter, optionString)) {
        if (groupDone)
            ++scan.optind;
        return letter;
    }
    scan.nextLetter = nullptr;
    if (!groupDone) {
        scan.optarg = argv[scan.optind] + (valueStart - argv[scan.optind]);  // the rest of the group
        ++scan.optind;
        return letter;
    }
    if (scan.optind + 1 >= argc) {
        ++scan.optind;
        return optionError(scan, argv[0], "option requires an argument", letter);
    }
    scan.optarg = argv[scan.optind + 1];
    scan.optind += 2;
    return letter;
}

}  // namespace quarvel
