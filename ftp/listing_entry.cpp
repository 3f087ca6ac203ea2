#include "ftp/listing_entry.h"

#include "ftp/listing_fields.h"

#include <vector>

namespace pelmora {

namespace {

using namespace listing;

struct TSpan {
    size_t begin;
    size_t end;
};

// The blank-separated words of a line, with their places so that a name can be cut
// from the line itself, its own blanks kept.
std::vector<TSpan> Words(std::string_view line) {
    std::vector<TSpan> words;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        if (pos == line.size())
            break;
        const size_t begin = pos;
        while (pos < line.size() && line[pos] != ' ')
            ++pos;
        words.push_back({begin, pos});
    }
    return words;
}

bool UnixPermissions(std::string_view word) {
    if (word.size() < 10)
        return false;
    for (size_t i = 1; i < 10; ++i)
        if (std::string_view("rwxsStTlL-").find(word[i]) == std::string_view::npos)
            return false;
    return true;
}

bool Addressable(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0\r\n", 4)) == std::string_view::npos;
}

TListedKind UnixKind(char type) {
    switch (type) {
    case '-':
        return TListedKind::File;
    case 'd':
        return TListedKind::Directory;
    case 'l':
        return TListedKind::Link;
    default:
        return TListedKind::Other;
    }
}

// The long UNIX form: permissions, links, owner, group, size, month, day, year or time,
// name. The group is missing in some listings and owners and groups may be named like
// months or be numbers, so the date is looked for where it stands with a group, then
// without one, and only then anywhere; the name is everything after the single blank
// that follows the date.
std::optional<TListedEntry> ParseUnix(std::string_view line, const std::vector<TSpan>& words) {
    const auto word = [&](size_t i) {
        return line.substr(words[i].begin, words[i].end - words[i].begin);
    };
    TListedEntry entry;
    entry.kind = UnixKind(line[0]);
    const auto dateAt = [&](size_t m) {
        if (m < 2 || m + 3 > words.size())
            return false;
        const int month = MonthOf(word(m));
        const auto day = word(m + 1);
        const auto last = word(m + 2);
        if (month == 0 || day.size() > 2 || !AllDigits(day) || Number(day) < 1 ||
            Number(day) > 31 || !AllDigits(word(m - 1)))
            return false;
        if (last.size() == 4 && AllDigits(last)) {
            entry.year = Number(last);
            entry.hour = entry.minute = 0;
        } else if (ClockTime(last, entry.hour, entry.minute)) {
            entry.year = 0;
        } else {
            return false;
        }
        // The name starts one blank after the date; a line that ends there has none.
        if (words[m + 2].end + 1 >= line.size())
            return false;
        entry.month = month;
        entry.day = Number(day);
        ToSize(word(m - 1), entry.size);
        entry.name = std::string(line.substr(words[m + 2].end + 1));
        return true;
    };
    bool found = dateAt(5) || dateAt(4);
    for (size_t m = 3; !found && m + 3 <= words.size(); ++m)
        found = dateAt(m);
    if (!found)
        return std::nullopt;
    if (entry.kind == TListedKind::Link) {
        const size_t arrow = entry.name.find(" -> ");
        if (arrow != std::string::npos) {
            entry.linkTarget = entry.name.substr(arrow + 4);
            entry.name.resize(arrow);
        }
    }
    if (!Addressable(entry.name))
        return std::nullopt;
    return entry;
}

// "07-15-96" or "07-15-1996".
bool DosDate(std::string_view word, TListedEntry& entry) {
    if ((word.size() != 8 && word.size() != 10) || word[2] != '-' || word[5] != '-')
        return false;
    const auto m = word.substr(0, 2), d = word.substr(3, 2), y = word.substr(6);
    if (!AllDigits(m) || !AllDigits(d) || !AllDigits(y))
        return false;
    entry.month = Number(m);
    entry.day = Number(d);
    entry.year = FullYear(Number(y), y.size());
    return entry.month >= 1 && entry.month <= 12 && entry.day >= 1 && entry.day <= 31;
}

// "09:05AM", "10:30PM" or "21:30".
bool DosTime(std::string_view word, TListedEntry& entry) {
    int hour = 0, minute = 0;
    std::string_view suffix;
    if (word.size() >= 2) {
        const auto tail = word.substr(word.size() - 2);
        if (tail == "AM" || tail == "PM" || tail == "am" || tail == "pm") {
            suffix = tail;
            word.remove_suffix(2);
        }
    }
    if (!ClockTime(word, hour, minute))
        return false;
    if (!suffix.empty()) {
        if (hour < 1 || hour > 12)
            return false;
        const bool pm = suffix[0] == 'P' || suffix[0] == 'p';
        hour = hour % 12 + (pm ? 12 : 0);
    }
    entry.hour = hour;
    entry.minute = minute;
    return true;
}

std::optional<TListedEntry> ParseDos(std::string_view line, const std::vector<TSpan>& words) {
    const auto word = [&](size_t i) {
        return line.substr(words[i].begin, words[i].end - words[i].begin);
    };
    TListedEntry entry;
    entry.form = TListingForm::Dos;
    if (words.size() < 4 || !DosDate(word(0), entry) || !DosTime(word(1), entry))
        return std::nullopt;
    if (word(2) == "<DIR>")
        entry.kind = TListedKind::Directory;
    else if (!ToSize(word(2), entry.size))
        return std::nullopt;
    // These servers write the size right-aligned (or "<DIR>") in a field that ends one
    // blank before a fixed column, so a name's own leading blanks show as more blanks
    // before it. Where a line does not keep to that column, blanks before the name are
    // taken as padding.
    const size_t column = words[1].end + 22;
    size_t start = words[2].end;
    if (column <= line.size() && column > words[2].end &&
        line.substr(words[2].end, column - words[2].end).find_first_not_of(' ') ==
            std::string_view::npos)
        start = column;
    else
        start = words[3].begin;
    entry.name = std::string(line.substr(start));
    if (!Addressable(entry.name))
        return std::nullopt;
    return entry;
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

std::optional<TListedEntry> ParseListedEntry(std::string_view line) {
    if (line.empty())
        return std::nullopt;
    const std::vector<TSpan> words = Words(line);
    if (words.empty())
        return std::nullopt;
    if (IsDigit(line[0]))
        return ParseDos(line, words);
    if (!UnixPermissions(line.substr(0, words[0].end)))
        return std::nullopt;
    return ParseUnix(line, words);
}

} // namespace pelmora
