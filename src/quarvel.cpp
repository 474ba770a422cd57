// quarvel: converts the binary log files of an ADC data logger into text.
#include "builddate.h"
#include "convert.h"
#include "messages.h"
#include "operands.h"
#include "settings.h"
#include "system.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void printUsage(int status)
{
    std::fputs(usageText().c_str(), stderr);
    std::exit(status);
}

void showSettings(const RunSettings& runSettings)
{
    std::fputs(settingsReport(runSettings).c_str(), stdout);
}

void printBanner()
{
    std::fputs(
        "\nquarvel version " QUARVEL_VERSION ", built on " QUARVEL_BUILD_DATE " at " QUARVEL_BUILD_TIME "\n", stdout);
}

// Standard output only reports on the conversion: a failure to write it
// stops nothing, but the run must not end as a success.
int checkStandardOutput()
{
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0)
        return 0;
    std::fputs(STANDARD_OUTPUT_FAILED, stderr);
    return 1;
}

int run(int argc, char** argv)
{
    prepareConsole();
    RunSettings settings;
    quarvel::OptionScan scan;
    switch (scanCommandLine(argc, argv, settings, scan)) {
    case CommandLine::USAGE: printUsage(0);
    case CommandLine::FAILED: return 1;
    case CommandLine::CONVERT: break;
    }
    if (settings.verbose) {
        printBanner();
        if (settings.debug)
            showSettings(settings);
    }
    int status = 0;
    const OperandFiles operands = lookUpOperands(argv + scan.optind, argc - scan.optind);
    ConversionState state;  // the buffers and tail cache, reused by every file
    for (int i = scan.optind; i < argc; ++i) {
        if (settings.debug)
            std::printf("processing file: %s\n", argv[i]);
        const FileOutcome outcome = processFile(argv[i], settings, operands, state);
        noteOutcome(i - scan.optind, outcome);
        if (failed(outcome))
            status = 1;
    }
    if (checkStandardOutput() != 0)
        status = 1;
    return status;
}

}  // namespace

#ifdef _WIN32
#include <string>
#include <vector>

#ifdef __MINGW32__
// Windows shells pass * and ? on to the program: this makes MinGW-w64's C
// runtime expand them in the file operands before wmain, in UTF-16, as
// other console programs do. A pattern that matches nothing stays as it is.
// (MSVC builds link wsetargv.obj instead.)
extern "C" {
int _dowildcard = -1;  // NOLINT(bugprone-reserved-identifier): the runtime's name
}
#endif

int wmain(int argc, wchar_t** wideArgv)
{
    std::vector<std::string> arguments = utf8Arguments(argc, wideArgv);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());  // cppcheck-suppress useStlAlgorithm
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
#else
int main(int argc, char** argv)
{
    return run(argc, argv);
}
#endif
