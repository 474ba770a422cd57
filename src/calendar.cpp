#include "calendar.h"

namespace {

constexpr std::int64_t SECONDS_PER_DAY = 86400;

// Days since 1970-01-01 to year, month (1 to 12) and day (1 to 31) of the
// proleptic Gregorian calendar, counted in eras of 400 years (146097 days).
void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day)
{
    days += 719468;  // from 0000-03-01, so that leap days end a year
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::tm toUtc(std::int64_t seconds)
{
    std::int64_t days = seconds / SECONDS_PER_DAY;
    std::int64_t secondOfDay = seconds % SECONDS_PER_DAY;
    if (secondOfDay < 0) {
        secondOfDay += SECONDS_PER_DAY;
        --days;
    }
    std::tm utc{};
    std::int64_t year = 0;
    civilFromDays(days, year, utc.tm_mon, utc.tm_mday);
    utc.tm_mon -= 1;
    utc.tm_year = static_cast<int>(year - 1900);
    utc.tm_wday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    utc.tm_hour = static_cast<int>(secondOfDay / 3600);
    utc.tm_min = static_cast<int>(secondOfDay / 60 % 60);
    utc.tm_sec = static_cast<int>(secondOfDay % 60);
    return utc;
}
