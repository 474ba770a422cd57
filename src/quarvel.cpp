// quarvel: converts the binary log files of an ADC data logger into text.
#include "convert.h"
#include "getopt.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void printUsage(int status)
{
    std::fputs(usageText().c_str(), stderr);
    std::exit(status);
}

void showSettings()
{
    std::fputs(settingsReport().c_str(), stdout);
}

void printBanner()
{
    std::fputs("\nquarvel version 1.0, built on " __DATE__ " at " __TIME__ "\n", stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    switch (scanCommandLine(argc, argv)) {
    case CommandLine::USAGE: printUsage(0);
    case CommandLine::FAILED: return 1;
    case CommandLine::CONVERT: break;
    }
    if (settings.verbose) {
        printBanner();
        if (settings.debug)
            showSettings();
    }
    int status = 0;
    for (int i = quarvel::optind; i < argc; ++i) {
        if (settings.debug)
            std::printf("processing file: %s\n", argv[i]);
        if (processFile(argv[i]) != 0)
            status = 1;
    }
    return status;
}
