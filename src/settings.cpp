#include "settings.h"

#include "format.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

const char* flagName(bool flag)
{
    return flag ? "TRUE" : "FALSE";
}

bool isCSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isPrintable(int c)
{
    return c >= 0x20 && c <= 0x7e;
}

void applyOption(RunSettings& runSettings, int letter, const char* value)
{
    switch (letter) {
    case 'c': runSettings.doChannel = true; break;
    case 'C': runSettings.doCal = false; break;
    case 'd': runSettings.debug = true; break;
    case 'g': runSettings.doGain = true; break;
    case 'n': readDecimal(value, runSettings.modulus); break;
    case 'N': runSettings.doSamples = true; break;
    case 'o': runSettings.doOffset = true; break;
    case 'p': runSettings.doPeriod = true; break;
    case 'q': runSettings.verbose = false; break;
    case 'r': runSettings.doRaw = true; break;
    case 's': runSettings.headers = HEADERS_FIRST; break;
    case 'S': runSettings.headers = HEADERS_NONE; break;
    case 't': runSettings.doTime = true; break;
    default: break;
    }
}

void reportOptionError(int letter)
{
    if (isPrintable(letter))
        std::fprintf(stderr, "Unknown option `-%c'.\n", letter);
    else
        std::fprintf(stderr, "Unknown option character `\\x%x'.\n", static_cast<unsigned>(letter));
}

}  // namespace

bool readDecimal(const char* text, std::int32_t& value)
{
    while (isCSpace(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (!isDigit(*text))
        return false;
    std::int64_t magnitude = 0;
    auto [end, error] = std::from_chars(text, text + std::strlen(text), magnitude);
    if (error != std::errc{})
        return false;
    std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < INT32_MIN || signedValue > INT32_MAX)
        return false;
    value = static_cast<std::int32_t>(signedValue);
    return true;
}

CommandLine scanCommandLine(int argc, char** argv, RunSettings& runSettings, quarvel::OptionScan& scan)
{
    runSettings = RunSettings{};
    if (argc <= 1)
        return CommandLine::USAGE;
    int letter;
    while ((letter = quarvel::getopt(scan, argc, argv, OPTION_STRING)) != -1) {
        if (letter == '?') {
            reportOptionError(scan.optopt);
            return CommandLine::FAILED;
        }
        applyOption(runSettings, letter, scan.optarg);
    }
    if (runSettings.modulus == 0) {
        std::fputs("Modulus must not be 0.\n", stderr);
        return CommandLine::FAILED;
    }
    return CommandLine::CONVERT;
}

const char* headerModeName(int headers)
{
    if (headers == HEADERS_ALL)
        return "ALL";
    if (headers == HEADERS_NONE)
        return "NONE";
    return "FIRST";
}

std::string usageText()
{
    // The usage text shows the defaults: it is printed before any option is scanned.
    const RunSettings defaults;
    std::string text = "\nusage: quarvel [-cdgnNopqsSt] [logfile]\n\n";
    auto line = [&text](const char* description, const char* value) {
        text += description;
        text += '[';
        text += value;
        text += "]\n";
    };
    line(" c     : include channel in output record            ", flagName(defaults.doChannel));
    line(" C     : suppress calibrated value in output record  ", flagName(!defaults.doCal));
    line(" d     : enable debug output                         ", flagName(defaults.debug));
    line(" g     : include gain in output record               ", flagName(defaults.doGain));
    std::string modulus;
    appendInt(modulus, MODULUS_DFLT);
    line(" n <N> : print every Nth record                      ", modulus.c_str());
    line(" N     : include total samples in output record      ", flagName(defaults.doSamples));
    line(" o     : include offset in output record             ", flagName(defaults.doOffset));
    line(" p     : include period in output record             ", flagName(defaults.doPeriod));
    line(" q     : disable verbose output                      ", flagName(!defaults.verbose));
    line(" r     : include raw counts in output record         ", flagName(defaults.doRaw));
    line(" s     : suppress all headers after the first        ", headerModeName(HEADERS_DFLT));
    line(" S     : suppress all headers                        ", headerModeName(HEADERS_DFLT));
    line(" t     : include time in output record               ", flagName(defaults.doTime));
    text += "\n\n"
            "Examples:\n\n"
            "process file 1.002, process every 1024th sample, suppress\n"
            "headers, output format: time,channel,calibratedOutput\n"
            "\tquarvel -Sqtcn 1024 1.002\n\n"
            "process file 1.002, process all samples, include first header\n"
            " only, output format: time,channel,gain,offset,rawOutput\n"
            "\tquarvel -sqtcgorC 1.002\n"
            "\n\n";
    return text;
}

std::string settingsReport(const RunSettings& runSettings)
{
    std::string text = "headers=";
    text += headerModeName(runSettings.headers);
    text += " debug=";
    text += flagName(runSettings.debug);
    text += " modulus=";
    appendInt(text, runSettings.modulus);
    text += "\noutput record format: ";
    const std::pair<bool, const char*> columns[] = {
        {runSettings.doTime, "time"},
        {runSettings.doChannel, "adcChan"},
        {runSettings.doPeriod, "samplePeriod"},
        {runSettings.doSamples, "totalSamples"},
        {runSettings.doGain, "calGain"},
        {runSettings.doOffset, "calOffset"},
        {runSettings.doRaw, "rawCounts"},
        {runSettings.doCal, "calData"},
    };
    const char* separator = "";
    for (const auto& [selected, name] : columns) {
        if (!selected)
            continue;
        text += separator;
        text += name;
        separator = ",";
    }
    text += "\r\n\r\n";
    return text;
}
