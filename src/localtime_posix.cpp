// system.h's local time on POSIX systems: the C library's localtime_r,
// which follows TZ and the system's time-zone data.
#include "system.h"

#include "calendar.h"

#include <ctime>

namespace {

bool cLocalTime(std::int64_t seconds, std::tm& local)
{
    // localtime checks the zone again on every call; localtime_r after one
    // tzset does not, which saves a stat of the zone file per block.
    static const bool ZONE_READ = (tzset(), true);
    (void)ZONE_READ;
    const auto time = static_cast<std::time_t>(seconds);
    return localtime_r(&time, &local) != nullptr;
}

}  // namespace

std::tm toLocalTime(std::int64_t seconds)
{
    std::tm local{};
    if (cLocalTime(seconds, local))
        return local;
    return toUtc(seconds);
}
