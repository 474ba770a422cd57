// The option scanner: grouping, values, the end of the options, and the
// POSIXLY_INCORRECT_GETOPT mode that takes options from anywhere.
#include "environment.h"
#include "getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ScanCase {
    std::vector<std::string> args;  // after the program name
    bool permute;
    std::string options;  // letters returned, each value as "=value;"
    std::vector<std::string> operands;
};

std::string describe(const quarvel::OptionScan& scan, int letter)
{
    std::string text;
    if (letter == '?') {
        text += '?';
        text += static_cast<char>(scan.optopt);
        return text;
    }
    text += static_cast<char>(letter);
    if (scan.optarg != nullptr) {
        text += '=';
        text += scan.optarg;
        text += ';';
    }
    return text;
}

class ScanTest : public ::testing::TestWithParam<ScanCase> { };

TEST_P(ScanTest, ReturnsOptionsThenOperands)
{
    const ScanCase& scan = GetParam();
    if (scan.permute)
        setEnvironment("POSIXLY_INCORRECT_GETOPT", "1");
    else
        unsetEnvironment("POSIXLY_INCORRECT_GETOPT");
    std::vector<std::string> storage{"/usr/bin/quarvel"};
    storage.insert(storage.end(), scan.args.begin(), scan.args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(storage.size());

    quarvel::OptionScan state;
    state.opterr = 0;
    std::string options;
    int letter;
    while ((letter = quarvel::getopt(state, argc, argv.data(), "cCdgNopqrsStn:")) != -1) {
        options += describe(state, letter);
        if (letter == '?')
            break;
    }
    unsetEnvironment("POSIXLY_INCORRECT_GETOPT");
    EXPECT_EQ(options, scan.options);
    if (letter != '?') {
        std::vector<std::string> operands(argv.begin() + state.optind, argv.begin() + argc);
        EXPECT_EQ(operands, scan.operands);
    }
}

INSTANTIATE_TEST_SUITE_P(InOrder, ScanTest,
    ::testing::Values(ScanCase{{}, false, "", {}}, ScanCase{{"-Sqtc", "f"}, false, "Sqtc", {"f"}},
        ScanCase{{"-n1024", "-t"}, false, "n=1024;t", {}}, ScanCase{{"-n", "-t", "f"}, false, "n=-t;", {"f"}},
        ScanCase{{"-tn", "--", "f"}, false, "tn=--;", {"f"}}, ScanCase{{"-n4t", "f"}, false, "n=4t;", {"f"}},
        ScanCase{{"-n", ""}, false, "n=;", {}}, ScanCase{{"-t", "--", "-c"}, false, "t", {"-c"}},
        ScanCase{{"-t", "--help", "-c"}, false, "t", {"-c"}}, ScanCase{{"---", "-c"}, false, "", {"-c"}},
        ScanCase{{"f", "-t"}, false, "", {"f", "-t"}}, ScanCase{{"-", "-t"}, false, "", {"-", "-t"}},
        ScanCase{{"", "-t"}, false, "", {"", "-t"}}, ScanCase{{"-tt", "-t"}, false, "ttt", {}},
        ScanCase{{"-t-c"}, false, "t?-", {}}, ScanCase{{"-t:"}, false, "t?:", {}},
        ScanCase{{"-tx", "-c"}, false, "t?x", {}}, ScanCase{{"-t", "-n"}, false, "t?n", {}},
        ScanCase{{"-tn"}, false, "t?n", {}}));

INSTANTIATE_TEST_SUITE_P(Permuting, ScanTest,
    ::testing::Values(ScanCase{{"f", "-t"}, true, "t", {"f"}},
        ScanCase{{"f", "g", "-t", "h", "-n", "3", "i"}, true, "tn=3;", {"f", "g", "h", "i"}},
        ScanCase{{"f", "-n", "g", "h"}, true, "n=g;", {"f", "h"}}, ScanCase{{"-t", "f"}, true, "t", {"f"}},
        ScanCase{{"f", "--", "-t", "g"}, true, "", {"f", "-t", "g"}},
        ScanCase{{"f", "-c", "g", "--help", "-t"}, true, "c", {"f", "g", "-t"}},
        ScanCase{{"-", "-t", ""}, true, "t", {"-", ""}}, ScanCase{{"f", "-x", "-t"}, true, "?x", {}}));

TEST(ProgramName, IsTheLastPathComponent)
{
    EXPECT_EQ(quarvel::programName("/usr/local/bin/quarvel"), "quarvel");
    EXPECT_EQ(quarvel::programName("./q"), "q");
    EXPECT_EQ(quarvel::programName("quarvel"), "quarvel");
    EXPECT_EQ(quarvel::programName(nullptr), "quarvel");
#ifdef _WIN32
    EXPECT_EQ(quarvel::programName("Z:\\tools\\quarvel.exe"), "quarvel");
    EXPECT_EQ(quarvel::programName("C:QUARVEL.EXE"), "QUARVEL");
    EXPECT_EQ(quarvel::programName("bin/quarvel"), "quarvel");
    EXPECT_EQ(quarvel::programName(".exe"), ".exe");
#else
    EXPECT_EQ(quarvel::programName("quarvel.exe"), "quarvel.exe");
#endif
}

}  // namespace
