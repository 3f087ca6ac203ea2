#include "sync/entry_time.h"

#include <gtest/gtest.h>

using namespace pelmora;

namespace {

int64_t At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return *UtcSecondsOf(y, mo, d, h, mi, s);
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
        std::optional<int64_t> now = std::nullopt;
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
        // A remote time after the compare's now proves nothing newer: an edit made before
        // a future time an older run gave the server is sent.
        {minute + 19, exact, false, TTimeOrder::Unsure, minute},
        {minute - 1, listed, true, TTimeOrder::Unsure, minute - 30},
        {minute - 1, listed, true, TTimeOrder::RemoteNewer, minute},
        {minute + 20, exact, true, TTimeOrder::Same, minute},
        // A local time in the future is newer than the server's upload time: sent.
        {minute + 3600, listed, true, TTimeOrder::LocalNewer, minute + 60},
    };
    for (const Row& r : rows)
        EXPECT_EQ(TimeOrderName(CompareTimes(r.local, r.remote, r.keeps, r.now)),
                  TimeOrderName(r.order))
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

TEST(EntryTime, ZoneOfExactTimeFitsOnlyAListingCutToItsMinute) {
    const int64_t exact = At(2026, 12, 10, 12, 0, 40);
    EXPECT_EQ(ZoneOfExactTime(At(2026, 12, 10, 14, 0), exact), 120);
    EXPECT_EQ(ZoneOfExactTime(At(2026, 12, 10, 12, 0), exact), 0);
    EXPECT_FALSE(ZoneOfExactTime(At(2026, 12, 10, 12, 1), exact)) << "a minute after";
    EXPECT_FALSE(ZoneOfExactTime(At(2026, 12, 10, 11, 59), exact)) << "a minute before";
}

TEST(EntryTime, LearnFromUploads) {
    const int64_t mtime = At(2026, 12, 7, 9, 30, 15);
    const int64_t sent = At(2026, 12, 10, 18, 5, 10);
    const TTimePrecision minute = TTimePrecision::Minute;
    // The server took our times and lists them two hours east of UTC.
    auto learnt = LearnFromUploads({{{At(2026, 12, 7, 11, 30), minute}, mtime, true, sent},
                                    {{At(2026, 12, 7, 11, 30), minute}, mtime + 5, true, sent}});
    EXPECT_EQ(learnt.zone, 120);
    EXPECT_EQ(learnt.keepsOurTimes, true);
    // It accepted the time but lists when the file arrived: its zone comes from that.
    learnt = LearnFromUploads({{{At(2026, 12, 10, 20, 5), minute}, mtime, true, sent}});
    EXPECT_EQ(learnt.zone, 120);
    EXPECT_EQ(learnt.keepsOurTimes, false);
    // No time could be given (no command for it): the arrival tells the zone, and nothing
    // is said of kept times.
    learnt = LearnFromUploads({{{At(2026, 12, 10, 13, 5), minute}, mtime, false, sent}});
    EXPECT_EQ(learnt.zone, -300);
    EXPECT_FALSE(learnt.keepsOurTimes);
    // An exact listing needs no zone.
    learnt = LearnFromUploads({{{mtime, TTimePrecision::Second}, mtime, true, sent}});
    EXPECT_FALSE(learnt.zone);
    EXPECT_EQ(learnt.keepsOurTimes, true);
    EXPECT_FALSE(LearnFromUploads({}).zone);
}
