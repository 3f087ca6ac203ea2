#include "sync/listing_lines.h"

#include "toolkit/date_time.h"
#include "toolkit/text.h"

#include <charconv>

namespace pelmora {

namespace {

constexpr std::string_view months = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";

// The value of a text that is a whole integer (an optional sign, then digits only).
bool ToInt(std::string_view text, long long& value) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// Digits from the start, after leading blanks; 0 when there are none.
int LeadingNumber(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > 100000)
            break;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string_view Prefix(std::string_view text, size_t n) {
    return text.substr(0, n);
}

bool MustNotBeAnEntry(std::string_view name) {
    return name == "." || name == ".." ||
           name.find_first_of(std::string_view("\r\n/\0", 4)) != std::string_view::npos;
}

std::string PrepareDosLine(const std::string& line, TMemo& memo) {
    memo.Add("Raw: " + line);
    const bool isDirectory = line.find("<DIR>") != std::string::npos;
    const std::string name = SkipFields(line, 3).rest;
    if (name.empty() || MustNotBeAnEntry(name))
        return {};
    const std::string day(line.size() > 3 ? Prefix(std::string_view(line).substr(3), 2) : "");
    const int m = LeadingNumber(Prefix(line, 2));
    const std::string monthName(m >= 1 && m <= 12 ? months.substr(size_t(m - 1) * 3, 3) : "JAN");
    const std::string time = SkipFields(line, 1).rest;
    long long hour = 0;
    if (!ToInt(Prefix(time, 2), hour))
        hour = 0;
    if (time.size() >= 6 && time[5] == 'P') {
        if (hour < 12)
            hour += 12;
    } else if (hour == 12) {
        hour = 0;
    }
    std::string size = "0";
    if (!isDirectory) {
        size = SkipFields(line, 2).rest;
        const size_t blank = size.find(' ');
        size = blank == std::string::npos ? std::string() : size.substr(0, blank + 1);
    }
    const std::string minutes(time.size() > 3 ? Prefix(std::string_view(time).substr(3), 2) : "");
    std::string prepared = isDirectory ? "D" : "F";
    prepared += UpperAscii(RemoveSpaces(name));
    prepared += " x x x " + size + " " + monthName + " " + day + " " + std::to_string(hour) + ":" +
                minutes + " " + name;
    memo.Add("Processed: " + prepared);
    return prepared;
}

std::string PrepareUnixLine(const std::string& line, TMemo& memo) {
    const TSkipped s = SkipFields(line, 8);
    if (!s.rest.empty() && MustNotBeAnEntry(s.rest)) {
        memo.Add("Raw: " + line);
        return {};
    }
    return (s.isDirectory ? "D" : "F") + RemoveSpaces(s.rest) + line;
}

} // namespace

TSkipped SkipFields(std::string_view line, int n) {
    line = Prefix(line, 255);
    TSkipped result;
    result.isDirectory = !line.empty() && (line.front() == 'd' || line.front() == 'D');
    for (int i = 0; i < n && !line.empty(); ++i) {
        const size_t blank = line.find(' ');
        line.remove_prefix(blank == std::string_view::npos ? line.size() : blank);
        while (!line.empty() && line.front() == ' ')
            line.remove_prefix(1);
    }
    while (!line.empty() && line.back() == ' ')
        line.remove_suffix(1);
    result.rest = std::string(line);
    return result;
}

std::string RemoveSpaces(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text)
        if (c != ' ')
            result += c;
    return result;
}

TSkipped EntryOfLine(std::string_view preparedLine) {
    TSkipped entry = SkipFields(preparedLine, 8);
    if (MustNotBeAnEntry(entry.rest))
        entry.rest.clear();
    return entry;
}

void PrepareWorkList(TStringList& workList, TMemo& memo) {
    workList.SetSorted(false);
    for (int i = 0; i < workList.Count(); ++i) {
        const std::string line = workList.Strings(i);
        if (line.empty())
            continue;
        const bool dos = line.front() >= '0' && line.front() <= '9';
        workList.SetString(i, dos ? PrepareDosLine(line, memo) : PrepareUnixLine(line, memo));
    }
    workList.SetSorted(true);
}

void FillRemoteDetail(TDetail& entry, uint8_t kind, const std::string& name, std::string_view line,
                      std::string_view recurseDir) {
    entry.kind = kind;
    entry.name = name;
    entry.dir = std::string(recurseDir);
    const std::string monthText = RemoveSpaces(Prefix(SkipFields(line, 5).rest, 3));
    const std::string dayText = RemoveSpaces(Prefix(SkipFields(line, 6).rest, 2));
    const std::string yearOrTime = RemoveSpaces(Prefix(SkipFields(line, 7).rest, 5));
    const TSkipped sizeField = SkipFields(line, 4);
    long long size = -1;
    if (!ToInt(sizeField.rest.substr(0, sizeField.rest.find(' ')), size) || size < 0)
        size = -1;
    entry.size = size;

    const size_t found = std::string_view(months).find(UpperAscii(monthText));
    const int month = monthText.empty() || found == std::string_view::npos
                          ? 1
                          : static_cast<int>((found + 1) / 3) + 1;
    long long day = 0, year = 0, hour = 0, minute = 0;
    bool ok = ToInt(dayText, day);
    const size_t colon = yearOrTime.find(':');
    if (colon != std::string::npos) {
        year = CurrentYear();
        ok = ok && ToInt(std::string_view(yearOrTime).substr(0, colon), hour) &&
             ToInt(Prefix(std::string_view(yearOrTime).substr(colon + 1), 2), minute);
    } else {
        ok = ok && ToInt(yearOrTime, year);
    }
    std::optional<TDateTime> date, time;
    if (ok && day <= 31 && year <= 9999 && hour <= 99 && minute <= 99) {
        date = EncodeDate(static_cast<int>(year), month, static_cast<int>(day));
        time = EncodeTime(static_cast<int>(hour), static_cast<int>(minute), 0);
    }
    entry.date = date && time ? *date + *time : 0.0;
}

} // namespace pelmora
