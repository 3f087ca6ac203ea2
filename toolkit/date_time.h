#pragma once

#include <optional>

namespace pelmora {

// A date and time as a day count since 30 December 1899, the time of day as the
// fraction, in local time.
using TDateTime = double;

struct TDateParts {
    int Year = 0;
    int Month = 0;
    int Day = 0;
};

struct TTimeParts {
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};

// The day count of a calendar date; nothing when the date does not exist
// (month 13, 30 February, 29 February in a common year, years outside 1..9999).
std::optional<TDateTime> EncodeDate(int year, int month, int day);
// The day fraction of a time of day; nothing outside 0:00:00.000 to 23:59:59.999.
std::optional<TDateTime> EncodeTime(int hour, int minute, int second, int millisecond = 0);

TDateParts DecodeDate(TDateTime value);
TTimeParts DecodeTime(TDateTime value);
// 1 for Sunday to 7 for Saturday.
int DayOfWeek(TDateTime value);

// A moment given as seconds since 1970 (UTC), in the local clock; 0 when it cannot be
// shown.
TDateTime LocalDateTimeOf(long long utcSeconds);

// The local clock now, and its calendar year.
TDateTime Now();
int CurrentYear();

} // namespace pelmora
