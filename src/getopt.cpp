#include "getopt.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quarvel {

int optind = 1;
int opterr = 1;
int optopt = 0;
char* optarg = nullptr;

namespace {

const char* nextLetter = nullptr;  // inside the option group being scanned
// With POSIXLY_INCORRECT_GETOPT, the operands skipped so far stand together
// at [skippedBegin, skippedEnd).
int skippedBegin = 1;
int skippedEnd = 1;

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
void moveOptionsBeforeSkipped(char** argv)
{
    if (skippedBegin < skippedEnd && skippedEnd < optind) {
        std::rotate(argv + skippedBegin, argv + skippedEnd, argv + optind);
        skippedBegin += optind - skippedEnd;
    } else if (skippedBegin == skippedEnd) {
        skippedBegin = optind;
    }
    skippedEnd = optind;
}

// Finds the next option group; returns false when the options have ended.
bool startGroup(int argc, char** argv, bool permute)
{
    if (permute) {
        moveOptionsBeforeSkipped(argv);
        while (optind < argc && !isOptionGroup(argv[optind]))
            ++optind;
        skippedEnd = optind;
    }
    if (optind < argc && endsOptions(argv[optind])) {
        ++optind;
        if (permute) {
            moveOptionsBeforeSkipped(argv);
            optind = skippedBegin;
        }
        return false;
    }
    if (optind >= argc || !isOptionGroup(argv[optind])) {
        if (permute)
            optind = skippedBegin;
        return false;
    }
    nextLetter = argv[optind] + 1;
    return true;
}

int optionError(const char* invocationName, const char* message, unsigned char letter)
{
    if (opterr)
        warnx(invocationName, message, letter);
    optopt = letter;
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

void resetGetopt()
{
    optind = 1;
    optopt = 0;
    optarg = nullptr;
    nextLetter = nullptr;
    skippedBegin = skippedEnd = 1;
}

int getopt(int argc, char** argv, const char* optionString)
{
    bool permute = std::getenv("POSIXLY_INCORRECT_GETOPT") != nullptr;
    optarg = nullptr;
    if (nextLetter == nullptr || *nextLetter == '\0') {
        nextLetter = nullptr;
        if (!startGroup(argc, argv, permute))
            return -1;
    }
    auto letter = static_cast<unsigned char>(*nextLetter++);
    const char* valueStart = nextLetter;
    bool groupDone = *nextLetter == '\0';
    if (!isOptionLetter(letter, optionString)) {
        if (groupDone)
            ++optind;
        return optionError(argv[0], "unknown option", letter);
    }
    if (!takesValue(letter, optionString)) {
        if (groupDone)
            ++optind;
        return letter;
    }
    nextLetter = nullptr;
    if (!groupDone) {
        optarg = argv[optind] + (valueStart - argv[optind]);  // the rest of the group
        ++optind;
        return letter;
    }
    if (optind + 1 >= argc) {
        ++optind;
        return optionError(argv[0], "option requires an argument", letter);
    }
    optarg = argv[optind + 1];
    optind += 2;
    return letter;
}

}  // namespace quarvel
