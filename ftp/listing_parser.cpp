#include "ftp/listing_parser.h"

#include "ftp/listing_entry.h"

#include <cctype>
#include <vector>

namespace pelmora {

std::string PendingVmsLine;

namespace {

struct TWordSpan {
    size_t begin;
    size_t end;
};

// Words as WordAt sees them, with their places in the line so a name can be cut
// from the line itself. A line that begins with a blank has an empty word 0.
std::vector<TWordSpan> SplitWords(std::string_view line) {
    std::vector<TWordSpan> words;
    size_t pos = 0;
    if (!line.empty() && line[0] == ' ')
        words.push_back({0, 0});
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

std::string_view TrimRight(std::string_view text) {
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

bool ParseUnix(std::string_view line, TListingEntry& entry) {
    if (line.empty())
        return false;
    switch (line[0]) {
    case '-':
    case 'f':
        entry.IsDirectory = false;
        break;
    case 'd':
    case 'l':
        // A link may lead to a directory; taking it as one lets a walk look inside.
        entry.IsDirectory = true;
        break;
    default:
        return false;
    }
    // The name stands where the fields' places put it, blanks and all; only a line that
    // does not keep to the long form falls back to its last word.
    const auto listed = ParseListedEntry(line);
    entry.Name = listed ? listed->name : NameField(line);
    if (WordAt(line, 1).starts_with('[')) {
        entry.Size = WordAt(line, 3);
        entry.Date = WordAt(line, 4) + " " + WordAt(line, 5) + " " + WordAt(line, 6);
    } else {
        entry.Size = WordAt(line, 4);
        entry.Date = WordAt(line, 5) + " " + WordAt(line, 6) + " " + WordAt(line, 7);
    }
    return true;
}

bool ParseVms(std::string_view text, TListingEntry& entry, std::string& pendingVms) {
    std::string line;
    if (!pendingVms.empty()) {
        line = pendingVms;
        pendingVms.clear();
    }
    line += text;
    if (line.find(';') == std::string::npos)
        return false;
    std::string name = WordAt(line, 0);
    if (name.empty()) {
        pendingVms = line;
        return false;
    }
    name = name.substr(0, name.find(';'));
    const size_t dir = name.find(".DIR");
    entry.IsDirectory = dir != std::string::npos;
    if (entry.IsDirectory)
        name = name.substr(0, dir);
    entry.Name = name;
    entry.Size = WordAt(line, 1);
    entry.Date = WordAt(line, 2) + " " + WordAt(line, 3);
    return true;
}

bool ParseVm(std::string_view line, TListingEntry& entry) {
    const std::string fileName = WordAt(line, 0);
    const std::string fileType = WordAt(line, 1);
    // A line without both parts of a name (a blank line, say) is no entry.
    if (fileName.empty() || fileType.empty())
        return false;
    entry.Name = fileName + "." + fileType;
    entry.Size = WordAt(line, 3);
    entry.Date = WordAt(line, 6) + " " + WordAt(line, 7);
    entry.IsDirectory = false;
    return true;
}

bool ParseVmVps(std::string_view line, TListingEntry& entry) {
    for (const std::string_view marker : {"=", "totals:", " rf trks", "track limit"})
        if (line.find(marker) != std::string_view::npos)
            return false;
    const std::string fileType = WordAt(line, 1);
    if (fileType.empty())
        return false;
    entry.Name = "." + fileType;
    entry.Size = WordAt(line, 2);
    entry.Date = WordAt(line, 7) + " " + WordAt(line, 6);
    entry.IsDirectory = false;
    return true;
}

} // namespace

std::string WordAt(std::string_view line, int n) {
    if (n < 0)
        return {};
    const auto words = SplitWords(line);
    const auto index = static_cast<size_t>(n);
    if (index >= words.size())
        return {};
    // Only a word with a blank after it counts; the line's last word never does.
    if (words[index].end >= line.size())
        return {};
    return std::string(line.substr(words[index].begin, words[index].end - words[index].begin));
}

std::string NameField(std::string_view line) {
    const size_t arrow = line.find("->");
    if (arrow != std::string_view::npos)
        line = line.substr(0, arrow);
    line = TrimRight(line);
    const size_t blank = line.rfind(' ');
    if (blank != std::string_view::npos)
        line = line.substr(blank + 1);
    return std::string(line.substr(0, 999));
}

bool ParseListingLine(TFTPServerType serverType, std::string_view line, TListingEntry& entry,
                      std::string& pendingVms) {
    TListingEntry parsed;
    bool recognised = false;
    switch (serverType) {
    case ftpstDefault:
    case ftpstUNIX:
    case ftpstULTRIX:
    case ftpstU5000:
    case ftpstSINTFTPD:
        recognised = ParseUnix(line, parsed);
        break;
    case ftpstVmsMultinet:
    case ftpstVmsUcx:
        recognised = ParseVms(line, parsed, pendingVms);
        break;
    case ftpstVM:
        recognised = ParseVm(line, parsed);
        break;
    case ftpstVMVPS:
        recognised = ParseVmVps(line, parsed);
        break;
    default:
        break;
    }
    if (recognised)
        entry = std::move(parsed);
    return recognised;
}

bool ParseListingLine(TFTPServerType serverType, std::string_view line, TListingEntry& entry) {
    return ParseListingLine(serverType, line, entry, PendingVmsLine);
}

} // namespace pelmora
