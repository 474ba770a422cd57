// The calendar that renders times the C library cannot, as on Windows
// before 1970, and opening the text file without emptying it too early.
#include "calendar.h"
#include "system.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

struct CalendarCase {
    std::int64_t seconds;
    int year, month, day, weekday, hour, minute, second;
};

TEST(ToUtc, RendersTheProlepticGregorianCalendar)
{
    const CalendarCase cases[] = {
        {0, 1970, 1, 1, 4, 0, 0, 0},
        {-1, 1969, 12, 31, 3, 23, 59, 59},
        {INT32_MIN, 1901, 12, 13, 5, 20, 45, 52},
        {INT32_MAX, 2038, 1, 19, 2, 3, 14, 7},
        {951782400, 2000, 2, 29, 2, 0, 0, 0},   // a leap day of a year divisible by 400
        {-2203891200, 1900, 3, 1, 4, 0, 0, 0},  // 1900 had no leap day
        {1 << 30, 2004, 1, 10, 6, 13, 37, 4},
    };
    for (const CalendarCase& c : cases) {
        const std::tm utc = toUtc(c.seconds);
        EXPECT_EQ(utc.tm_year + 1900, c.year) << c.seconds;
        EXPECT_EQ(utc.tm_mon + 1, c.month) << c.seconds;
        EXPECT_EQ(utc.tm_mday, c.day) << c.seconds;
        EXPECT_EQ(utc.tm_wday, c.weekday) << c.seconds;
        EXPECT_EQ(utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec, c.hour * 3600 + c.minute * 60 + c.second)
            << c.seconds;
    }
}

#ifndef _WIN32
TEST(ToUtc, AgreesWithTheCLibraryOverTheWholeRangeOfTheLog)
{
    for (std::int64_t seconds = INT32_MIN; seconds <= INT32_MAX; seconds += 86399 * 7 + 12345) {
        const auto time = static_cast<std::time_t>(seconds);
        std::tm expected{};
        ASSERT_NE(gmtime_r(&time, &expected), nullptr);
        const std::tm utc = toUtc(seconds);
        ASSERT_EQ(std::asctime(&utc), std::string(std::asctime(&expected))) << seconds;
    }
}
#endif

std::string contentsOf(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(OpenFileToRewrite, CreatesOrKeepsTheContentsUntilTruncated)
{
    // The output is compared with the input between the open and the
    // truncation: until then a link to the input must lose nothing.
    const std::filesystem::path path = std::filesystem::temp_directory_path()
        / ("quarvel-rewrite-test-" + std::to_string(std::random_device{}()) + ".txt");
    std::ofstream(path, std::ios::binary) << "the log";
    std::FILE* file = openFileToRewrite(path.string().c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(contentsOf(path), "the log");
    EXPECT_TRUE(truncateFile(file, fileStatusOf(file)));
    EXPECT_EQ(contentsOf(path), "");
    std::fputs("new", file);
    EXPECT_EQ(std::fclose(file), 0);
    EXPECT_EQ(contentsOf(path), "new");
    std::filesystem::remove(path);
    file = openFileToRewrite(path.string().c_str());
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(std::filesystem::exists(path));
    std::filesystem::remove(path);
}

}  // namespace
