// The proleptic Gregorian calendar in UTC, computed without the C library:
// for times that the library cannot render, as Windows' before 1970.
#ifndef QUARVEL_CALENDAR_H
#define QUARVEL_CALENDAR_H

#include <cstdint>
#include <ctime>

// `seconds` since the epoch in UTC, by the proleptic Gregorian calendar.
std::tm toUtc(std::int64_t seconds);

#endif
