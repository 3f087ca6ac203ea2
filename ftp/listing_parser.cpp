#include "ftp/listing_parser.h"

#include "ftp/listing_fields.h"

#include <vector>

namespace pelmora {

namespace {

using namespace listing;

// The VMS and VM forms are read by word places, the way these servers have always been
// read here: runs of blanks count as one, a line that begins with a blank has an empty
// word 0, and a word counts only with a blank after it, so the last word of a line never
// does. Lines of these forms end in a field we do not read.
std::string WordAt(std::string_view line, size_t n) {
    std::vector<std::string_view> words;
    if (!line.empty() && line[0] == ' ')
        words.push_back({});
    size_t pos = 0;
    while (pos < line.size() && words.size() <= n) {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        const size_t begin = pos;
        while (pos < line.size() && line[pos] != ' ')
            ++pos;
        if (pos == line.size())
            break;
        words.push_back(line.substr(begin, pos - begin));
    }
    return n < words.size() ? std::string(words[n]) : std::string();
}

long long SizeOf(std::string_view digits) {
    long long size = -1;
    return ToSize(digits, size) ? size : -1;
}

// "12:00" or "12:00:00"; the seconds are not kept.
void ReadTime(std::string_view word, TListedEntry& entry) {
    if (word.size() > 5 && word[word.size() - 3] == ':')
        word.remove_suffix(3);
    int hour = 0, minute = 0;
    if (ClockTime(word, hour, minute)) {
        entry.hour = hour;
        entry.minute = minute;
    }
}

// The three parts of a date written with two separators ("1-JAN-2000", "1/12/99").
bool SplitDate(std::string_view word, char separator, std::string_view (&parts)[3]) {
    const size_t first = word.find(separator);
    if (first == std::string_view::npos)
        return false;
    const size_t second = word.find(separator, first + 1);
    if (second == std::string_view::npos)
        return false;
    parts[0] = word.substr(0, first);
    parts[1] = word.substr(first + 1, second - first - 1);
    parts[2] = word.substr(second + 1);
    return true;
}

// VMS: "1-JAN-2000".
void ReadVmsDate(std::string_view word, TListedEntry& entry) {
    std::string_view parts[3];
    if (!SplitDate(word, '-', parts))
        return;
    const auto& [day, monthName, year] = parts;
    const int month = MonthOf(monthName);
    if (month == 0 || day.size() > 2 || !AllDigits(day) || year.size() != 4 || !AllDigits(year))
        return;
    entry.day = Number(day);
    entry.month = month;
    entry.year = Number(year);
}

// VM: "1/12/99", month first.
void ReadSlashDate(std::string_view word, TListedEntry& entry) {
    std::string_view parts[3];
    if (!SplitDate(word, '/', parts))
        return;
    for (const auto part : parts)
        if (part.size() > 4 || !AllDigits(part))
            return;
    const auto& [month, day, year] = parts;
    entry.month = Number(month);
    entry.day = Number(day);
    entry.year = FullYear(Number(year), year.size());
}

// "INDEX.HTML;3  5/6  1-JAN-2000 12:00:00 [WEB] (RWED,RWE,,)": name with its version,
// blocks used/allocated, date, time. A directory is a file of type DIR.
std::optional<TListedEntry> ParseVms(std::string_view text, std::string& pending) {
    std::string line = std::move(pending);
    pending.clear();
    line += text;
    if (line.find(';') == std::string::npos)
        return std::nullopt;
    std::string name = WordAt(line, 0);
    if (name.empty()) {
        // A long name alone on its line: the rest of the entry comes next.
        pending = line;
        return std::nullopt;
    }
    TListedEntry entry;
    entry.form = TListingForm::Vms;
    name = name.substr(0, name.find(';'));
    const size_t dir = name.find(".DIR");
    if (dir != std::string::npos) {
        entry.kind = TListedKind::Directory;
        name.resize(dir);
    }
    entry.name = name;
    const std::string blocks = WordAt(line, 1);
    entry.size = SizeOf(std::string_view(blocks).substr(0, blocks.find('/')));
    ReadVmsDate(WordAt(line, 2), entry);
    ReadTime(WordAt(line, 3), entry);
    return entry;
}

// "PROFILE  EXEC  V  72  5  1  1/12/99 10:11:12  -": file name, file type, format, record
// length, records, blocks, date, time.
std::optional<TListedEntry> ParseVm(std::string_view line) {
    const std::string fileName = WordAt(line, 0);
    const std::string fileType = WordAt(line, 1);
    // A line without both parts of a name (a blank line, say) is no entry.
    if (fileName.empty() || fileType.empty())
        return std::nullopt;
    TListedEntry entry;
    entry.form = TListingForm::Vm;
    entry.name = fileName + "." + fileType;
    entry.size = SizeOf(WordAt(line, 3));
    ReadSlashDate(WordAt(line, 6), entry);
    ReadTime(WordAt(line, 7), entry);
    return entry;
}

// VM/VPS lists data sets by type, with totals and limits between them.
std::optional<TListedEntry> ParseVmVps(std::string_view line) {
    for (const std::string_view marker : {"=", "totals:", " rf trks", "track limit"})
        if (line.find(marker) != std::string_view::npos)
            return std::nullopt;
    const std::string fileType = WordAt(line, 1);
    if (fileType.empty())
        return std::nullopt;
    TListedEntry entry;
    entry.form = TListingForm::Vm;
    entry.name = "." + fileType;
    entry.size = SizeOf(WordAt(line, 2));
    ReadSlashDate(WordAt(line, 7), entry);
    ReadTime(WordAt(line, 6), entry);
    return entry;
}

} // namespace

TListingParser::TListingParser(TFTPServerType serverType, bool mlsd)
    : serverType_(serverType), mlsd_(mlsd) {}

std::optional<TListedEntry> TListingParser::Parse(std::string_view line) {
    if (mlsd_)
        return ParseMlsdEntry(line);
    switch (serverType_) {
    case ftpstDefault:
    case ftpstUNIX:
    case ftpstULTRIX:
    case ftpstU5000:
    case ftpstSINTFTPD:
        return ParseListedEntry(line);
    case ftpstVmsMultinet:
    case ftpstVmsUcx:
        return ParseVms(line, pendingVms_);
    case ftpstVM:
        return ParseVm(line);
    case ftpstVMVPS:
        return ParseVmVps(line);
    default:
        return std::nullopt;
    }
}

} // namespace pelmora
