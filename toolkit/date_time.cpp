#include "toolkit/date_time.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace pelmora {

namespace {

using namespace std::chrono;

constexpr sys_days epoch = sys_days{year{1899} / December / 30};

// Whole days and the day fraction, with the fraction always counted forward from
// midnight as the classic encoding does for dates before the epoch too.
long long WholeDays(TDateTime value) {
    return static_cast<long long>(std::trunc(value));
}

} // namespace

std::optional<TDateTime> EncodeDate(int y, int m, int d) {
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > 31)
        return std::nullopt;
    const year_month_day date{year{y}, month{static_cast<unsigned>(m)},
                              day{static_cast<unsigned>(d)}};
    if (!date.ok())
        return std::nullopt;
    return static_cast<TDateTime>((sys_days{date} - epoch).count());
}

std::optional<TDateTime> EncodeTime(int hour, int minute, int second, int millisecond) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        millisecond < 0 || millisecond > 999)
        return std::nullopt;
    const long long ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
    return static_cast<TDateTime>(ms) / 86400000.0;
}

TDateParts DecodeDate(TDateTime value) {
    const year_month_day date{epoch + days{WholeDays(value)}};
    return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
            static_cast<int>(static_cast<unsigned>(date.day()))};
}

TTimeParts DecodeTime(TDateTime value) {
    const double fraction = std::fabs(value - std::trunc(value));
    long long ms = std::llround(fraction * 86400000.0);
    if (ms >= 86400000)
        ms = 86399999;
    return {static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
            static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
}

int DayOfWeek(TDateTime value) {
    const weekday wd{epoch + days{WholeDays(value)}};
    return static_cast<int>(wd.c_encoding()) + 1;
}

TDateTime LocalDateTimeOf(long long utcSeconds) {
    const auto t = static_cast<std::time_t>(utcSeconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return 0;
    const auto date = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const auto time = EncodeTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59));
    return date && time ? *date + *time : 0;
}

TDateTime Now() {
    return LocalDateTimeOf(std::time(nullptr));
}

int CurrentYear() {
    return DecodeDate(Now()).Year;
}

} // namespace pelmora
