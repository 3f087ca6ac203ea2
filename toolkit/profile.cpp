#include "toolkit/profile.h"

#include "toolkit/text.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The name of a "[name]" line, or nothing when the line is no section header.
bool SectionName(std::string_view line, std::string_view& name) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[')
        return false;
    const size_t close = line.find(']');
    if (close == std::string_view::npos)
        return false;
    name = Trim(line.substr(1, close - 1));
    return true;
}

bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return true;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file a chain of symbolic links starting at `path` ends at, whether or not it exists
// yet; `path` itself when it is no link. A chain that does not end (a loop) is left as it
// is: the rename then replaces the first link, as it always did.
std::string LinkTarget(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return at;
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<size_t>(n) >= link.size())
            return path;
        link.resize(static_cast<size_t>(n));
        if (link.front() != '/') {
            // Relative to the directory that holds the link.
            const size_t slash = at.rfind('/');
            link = (slash == std::string::npos ? std::string() : at.substr(0, slash + 1)) + link;
        }
        at = std::move(link);
    }
    return path;
}

} // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {
    std::ifstream in(fileName_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines_.push_back(std::move(line));
    }
}

int TIniFile::FindSection(std::string_view section) const {
    std::string_view name;
    for (size_t i = 0; i < lines_.size(); ++i)
        if (SectionName(lines_[i], name) && SameText(name, section))
            return static_cast<int>(i);
    return -1;
}

int TIniFile::FindKey(int header, std::string_view key) const {
    std::string_view name, k, v;
    for (size_t i = static_cast<size_t>(header) + 1; i < lines_.size(); ++i) {
        if (SectionName(lines_[i], name))
            break;
        if (KeyValue(lines_[i], k, v) && SameText(k, key))
            return static_cast<int>(i);
    }
    return -1;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 const std::string& defaultValue) const {
    return ReadWholeString(section, key, defaultValue).substr(0, MaxValueLength);
}

std::string TIniFile::ReadWholeString(std::string_view section, std::string_view key,
                                      const std::string& defaultValue) const {
    const int header = FindSection(section);
    const int at = header < 0 ? -1 : FindKey(header, key);
    if (at < 0)
        return defaultValue;
    std::string_view k, v;
    KeyValue(lines_[static_cast<size_t>(at)], k, v);
    return std::string(v);
}

bool TIniFile::ParseInteger(std::string_view text, long& value) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.front() == '-' || text.front() == '+')
        return false;
    long long parsed = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    if (negative)
        parsed = -parsed;
    // Stored integers are 32-bit; anything wider is no integer of ours.
    if (parsed < INT32_MIN || parsed > INT32_MAX)
        return false;
    value = static_cast<long>(parsed);
    return true;
}

long TIniFile::ReadInteger(std::string_view section, std::string_view key,
                           long defaultValue) const {
    long value = 0;
    return ParseInteger(ReadString(section, key, ""), value) ? value : defaultValue;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    for (std::string_view part : {section, key, value})
        if (part.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            throw EProfileError("Unable to write to " + fileName_);
    const std::string line = std::string(key) + "=" + std::string(value);
    int header = FindSection(section);
    if (header < 0) {
        if (!lines_.empty() && !Trim(lines_.back()).empty())
            lines_.emplace_back();
        std::string header = "[";
        header.append(section).append("]");
        lines_.push_back(std::move(header));
        lines_.push_back(line);
        return;
    }
    const int at = FindKey(header, key);
    if (at >= 0) {
        // The key keeps the spelling the file already gives it.
        std::string& existing = lines_[static_cast<size_t>(at)];
        std::string_view k, v;
        KeyValue(existing, k, v);
        existing = std::string(k) + "=" + std::string(value);
        return;
    }
    // After the section's last key, ahead of the blank lines that close it.
    size_t end = static_cast<size_t>(header) + 1;
    std::string_view name;
    size_t insertAt = end;
    for (; end < lines_.size() && !SectionName(lines_[end], name); ++end)
        if (!Trim(lines_[end]).empty())
            insertAt = end + 1;
    lines_.insert(lines_.begin() + static_cast<long>(insertAt), line);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, long value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::UpdateFile() const {
    std::string data;
    for (const std::string& line : lines_)
        data += line + "\n";
    // A settings file that is a symbolic link (kept in a synced folder, say) stays one:
    // the file it leads to is replaced, not the link.
    const std::string target = LinkTarget(fileName_);
    // The new copy gets a fresh name, created with O_EXCL (which never follows a link),
    // beside the file so the rename stays within one file system: a fixed name in a
    // folder that others can write to would let them plant a link there and have us
    // write our settings over any file of ours.
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    bool ok = fd >= 0;
    if (ok) {
        ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, data) && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
    }
    if (ok)
        ok = std::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        if (fd >= 0)
            ::unlink(temp.c_str());
        throw EProfileError("Unable to write to " + fileName_);
    }
}

} // namespace pelmora
