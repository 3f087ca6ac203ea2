#include "sync/entry_time.h"

#include <gtest/gtest.h>

using namespace pelmora;

namespace {

int64_t At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return *CivilSeconds(y, mo, d, h, mi, s);
}

TListedEntry Listed(int year, int month, int day, int hour, int minute,
                    TListingForm form = TListingForm::Unix) {
    TListedEntry e;
    e.name = "index.html";
    e.year = year;
    e.month = month;
    e.day = day;
    e.hour = hour;
    e.minute = minute;
    e.form = form;
    return e;
}

} // namespace

TEST(EntryTime, CivilSecondsRefusesDatesThatDoNotExist) {
    EXPECT_EQ(CivilSeconds(1970, 1, 1), 0);
    EXPECT_EQ(CivilSeconds(2024, 2, 29, 23, 59, 59), 1709251199);
    for (auto [y, m, d] : {std::tuple{2026, 2, 29}, {2026, 13, 1}, {2026, 0, 1}, {2026, 4, 31}})
        EXPECT_FALSE(CivilSeconds(y, m, d)) << y << '-' << m << '-' << d;
    EXPECT_FALSE(CivilSeconds(2026, 1, 1, 24));
}

// A year-less date is this year unless that lies more than a day after the server's now.
TEST(EntryTime, YearOfListedDate) {
    struct Row {
        int month, day;
        int64_t now;
        int year;
    } rows[] = {
        {12, 10, At(2026, 12, 10, 12), 2026}, // today
        {12, 10, At(2027, 1, 2, 9), 2026},    // January: last December is last year
        {12, 31, At(2027, 1, 1, 0, 30), 2026},
        {1, 1, At(2026, 12, 31, 23), 2026},   // 1 January ahead of 31 December: last year's
        {1, 1, At(2027, 1, 1, 0, 5), 2027},   // 1 January on New Year's Day
        {12, 11, At(2026, 12, 10, 12), 2026}, // tomorrow: a server clock a little ahead
        {12, 12, At(2026, 12, 10, 12), 2025}, // two days ahead cannot be this year's
        {6, 15, At(2026, 12, 10), 2026},
        {2, 29, At(2026, 3, 1), 2024}, // only leap years hold it
        {2, 29, At(2028, 3, 1), 2028},
    };
    for (const Row& r : rows)
        EXPECT_EQ(YearOfListedDate(r.month, r.day, r.now), r.year)
            << r.month << '/' << r.day << " at " << r.now;
}

TEST(EntryTime, ListedTimeIsUtcAtTheListingsPrecision) {
    const int64_t now = At(2026, 12, 10, 18);
    // "Dec 10 12:29" from a server two hours east of UTC is 10:29 UTC.
    EXPECT_EQ(ListedTime(Listed(0, 12, 10, 12, 29), 120, now),
              (TEntryTime{At(2026, 12, 10, 10, 29), TTimePrecision::Minute}));
    // West of UTC; the server's now decides the year, not ours: at 18:00 UTC on 31
    // December a server five hours west still lives in the old year.
    EXPECT_EQ(ListedTime(Listed(0, 12, 31, 12, 0), -300, At(2027, 1, 1, 3)).utc,
              At(2026, 12, 31, 17));
    // A line with a year has the day only.
    EXPECT_EQ(ListedTime(Listed(2024, 3, 5, 0, 0), 0, now),
              (TEntryTime{At(2024, 3, 5), TTimePrecision::Day}));
    // DOS lines give a year and a time of day.
    EXPECT_EQ(ListedTime(Listed(2024, 3, 5, 0, 0, TListingForm::Dos), 60, now),
              (TEntryTime{At(2024, 3, 4, 23), TTimePrecision::Minute}));
    // An exact time wins over the parts and any zone.
    TListedEntry exact = Listed(0, 1, 1, 0, 0);
    exact.utcSeconds = At(2026, 12, 10, 9, 15, 42);
    EXPECT_EQ(ListedTime(exact, 600, now), (TEntryTime{*exact.utcSeconds, TTimePrecision::Second}));
    // Nothing readable: nothing known.
    EXPECT_EQ(ListedTime(Listed(0, 0, 0, 0, 0), 0, now).precision, TTimePrecision::Unknown);
}

TEST(EntryTime, CompareTimes) {
    const int64_t minute = At(2026, 12, 10, 12, 29);
    const TEntryTime exact{minute + 20, TTimePrecision::Second};
    const TEntryTime listed{minute, TTimePrecision::Minute};
    const TEntryTime day{At(2026, 12, 10), TTimePrecision::Day};
    struct Row {
        int64_t local;
        TEntryTime remote;
        bool keeps;
        TTimeOrder order;
    } rows[] = {
        {minute + 20, exact, false, TTimeOrder::Same},
        {minute + 21, exact, false, TTimeOrder::LocalNewer},
        {minute + 19, exact, false, TTimeOrder::RemoteNewer},
        // Inside the listed minute: the server kept our time, so this is the file we sent...
        {minute + 59, listed, true, TTimeOrder::Same},
        // ...or it shows when the upload happened, and the edit may have come after it.
        {minute + 59, listed, false, TTimeOrder::Unsure},
        {minute + 60, listed, true, TTimeOrder::LocalNewer}, // an edit a minute later
        {minute - 1, listed, false, TTimeOrder::RemoteNewer},
        {At(2026, 12, 11), day, true, TTimeOrder::LocalNewer},
        {At(2026, 12, 10, 23), day, true, TTimeOrder::Same},
        {minute, TEntryTime{}, true, TTimeOrder::Unsure},
    };
    for (const Row& r : rows)
        EXPECT_EQ(TimeOrderName(CompareTimes(r.local, r.remote, r.keeps)), TimeOrderName(r.order))
            << r.local - r.remote.utc << "s after a " << PrecisionName(r.remote.precision)
            << " time, keeps=" << r.keeps;
}

TEST(EntryTime, ZoneOfListingRoundsToTheQuarterHour) {
    const int64_t t = At(2026, 12, 10, 12, 0, 40);
    // A listing cuts to the minute: 12:00:40 UTC listed as 14:00 is two hours east.
    EXPECT_EQ(ZoneOfListing(At(2026, 12, 10, 14, 0), t), 120);
    EXPECT_EQ(ZoneOfListing(At(2026, 12, 10, 12, 0), t), 0);
    EXPECT_EQ(ZoneOfListing(At(2026, 12, 10, 7, 0), t), -300);
    EXPECT_EQ(ZoneOfListing(At(2026, 12, 10, 17, 45), t), 345); // Nepal
    EXPECT_EQ(ZoneOfListing(At(2026, 12, 11, 2, 0), t), 840);
    EXPECT_FALSE(ZoneOfListing(At(2026, 12, 11, 12, 0), t)); // a day off: no zone
}
