#include "net/listed_entry.h"

namespace pelmora {

namespace {

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool LeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && LeapYear(year) ? 29 : days[month - 1];
}

} // namespace

const char* KindName(TListedKind kind) {
    switch (kind) {
    case TListedKind::File:
        return "file";
    case TListedKind::Directory:
        return "directory";
    case TListedKind::Link:
        return "link";
    case TListedKind::Other:
        break;
    }
    return "special file";
}

std::optional<int64_t> UtcSecondsOf(int year, int month, int day, int hour, int minute,
                                    int second) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return std::nullopt;
    return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

TListedDate DateOfUtcSeconds(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // The inverse of DaysFromCivil.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    TListedDate date;
    date.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    date.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    date.year = static_cast<int>(yoe + era * 400 + (date.month <= 2));
    date.hour = static_cast<int>(rest / 3600);
    date.minute = static_cast<int>(rest % 3600 / 60);
    date.second = static_cast<int>(rest % 60);
    return date;
}

TListedDate ResolveListedYear(int month, int day, int hour, int minute, int64_t serverNow) {
    const int nowYear = DateOfUtcSeconds(serverNow).year;
    // Feb 29 exists only every fourth year or so: go back to the latest one that fits.
    for (int year = nowYear; year > nowYear - 9; --year) {
        const auto when = UtcSecondsOf(year, month, day, hour, minute, 0);
        if (when && *when <= serverNow + 86400)
            return TListedDate{year, month, day, hour, minute, 0};
    }
    return TListedDate{nowYear - 1, month, day, hour, minute, 0};
}

} // namespace pelmora
