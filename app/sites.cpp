#include "app/sites.h"

#include "toolkit/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace pelmora {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view Suffix = ".ini";
// The longest file name the usual Linux file systems take.
constexpr size_t MaxFileName = 255;

bool KeptAsIs(unsigned char c, bool first) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    if (c == ' ' || c == '-' || c == '_')
        return true;
    return c == '.' && !first;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::string StateDirectory() {
    // Only an absolute path counts, as the XDG rules have it.
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return (fs::path(state) / "pelmora").string();
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return (fs::path(home) / ".local" / "state" / "pelmora").string();
    return {};
}

std::string SiteJournalFile(const std::string& settingsFile) {
    const std::string dir = StateDirectory();
    if (dir.empty() || settingsFile.empty())
        return {};
    // The file the settings really are in: through a link, or named relative to here, it
    // is the same site.
    std::error_code ec;
    fs::path file = fs::weakly_canonical(fs::absolute(settingsFile, ec), ec);
    if (ec)
        file = settingsFile;
    std::string stem = file.filename().string();
    if (stem.size() >= Suffix.size() &&
        FoldCase(stem.substr(stem.size() - Suffix.size())) == std::string(Suffix))
        stem.resize(stem.size() - Suffix.size());
    // FNV-1a of the whole path.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : file.string()) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    char digits[9] = {};
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(hash ^ (hash >> 32)));
    // The stem is a site's file name already (SiteFileName), or one the user chose; cut,
    // it still fits a file name with what follows.
    if (stem.size() > 200)
        stem.resize(200);
    if (stem.empty() || stem.front() == '.')
        stem.insert(0, "site");
    return (fs::path(dir) / (stem + "-" + digits + ".db")).string();
}

std::string TrimSiteName(std::string_view name) {
    while (!name.empty() && IsBlank(name.front()))
        name.remove_prefix(1);
    while (!name.empty() && IsBlank(name.back()))
        name.remove_suffix(1);
    return std::string(name);
}

bool CheckSiteName(std::string_view name, std::string& error) {
    if (name.empty()) {
        error = "A site needs a name";
        return false;
    }
    if (name.find('/') != std::string_view::npos) {
        error = "A site name cannot hold \"/\"";
        return false;
    }
    if (TrimSiteName(name) != name) {
        error = "A site name cannot begin or end with a blank";
        return false;
    }
    // EscapeControls leaves printable UTF-8 alone and marks everything else; a backslash
    // is printable, but it marks that too.
    std::string plain(name);
    plain.erase(std::remove(plain.begin(), plain.end(), '\\'), plain.end());
    if (EscapeControls(plain) != plain) {
        error = "A site name can only hold printable characters (UTF-8)";
        return false;
    }
    if (SameText(name, DefaultSiteName)) {
        error = "\"" + std::string(DefaultSiteName) + "\" is the name of the site in PELMORA.INI";
        return false;
    }
    if (SiteFileName(name).size() > MaxFileName) {
        error = "The site name is too long";
        return false;
    }
    return true;
}

std::string SiteFileName(std::string_view name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string file;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (KeptAsIs(c, i == 0)) {
            file += static_cast<char>(c);
        } else {
            file += '%';
            file += hex[c >> 4];
            file += hex[c & 15];
        }
    }
    return file + std::string(Suffix);
}

std::optional<std::string> SiteNameOfFile(std::string_view fileName) {
    if (fileName.size() <= Suffix.size() || !fileName.ends_with(Suffix))
        return std::nullopt;
    const std::string_view coded = fileName.substr(0, fileName.size() - Suffix.size());
    std::string name;
    for (size_t i = 0; i < coded.size(); ++i) {
        const int high = coded[i] == '%' && i + 2 < coded.size() ? HexDigit(coded[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(coded[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            name += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            name += coded[i];
        }
    }
    std::string error;
    // A name trimmed of blanks would not lead back to this file; "Default" is taken.
    if (TrimSiteName(name) != name || !CheckSiteName(name, error))
        return std::nullopt;
    return name;
}

TSites::TSites(std::string defaultFile) : defaultFile_(std::move(defaultFile)) {}

std::string TSites::Folder() const {
    return (fs::path(defaultFile_).parent_path() / "sites").string();
}

std::vector<TSiteInfo> TSites::List() const {
    std::vector<TSiteInfo> sites{{std::string(DefaultSiteName), defaultFile_, true}};
    std::error_code ec;
    fs::directory_iterator it(Folder(), ec);
    std::vector<TSiteInfo> named;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError))
            continue;
        const std::string fileName = it->path().filename().string();
        if (auto name = SiteNameOfFile(fileName))
            named.push_back({*name, it->path().string(), false});
    }
    std::sort(named.begin(), named.end(), [](const TSiteInfo& a, const TSiteInfo& b) {
        const int order = CompareText(a.Name, b.Name);
        return order != 0 ? order < 0 : a.Name < b.Name;
    });
    sites.insert(sites.end(), named.begin(), named.end());
    return sites;
}

std::optional<TSiteInfo> TSites::Find(std::string_view name) const {
    const std::string wanted = TrimSiteName(name);
    const std::vector<TSiteInfo> sites = List();
    for (const TSiteInfo& site : sites)
        if (site.Name == wanted)
            return site;
    for (const TSiteInfo& site : sites)
        if (SameText(site.Name, wanted))
            return site;
    return std::nullopt;
}

std::optional<TSiteInfo> TSites::Create(std::string_view name, std::string& error) const {
    const std::string trimmed = TrimSiteName(name);
    if (!CheckSiteName(trimmed, error))
        return std::nullopt;
    if (const auto existing = Find(trimmed)) {
        error = "There is a site named \"" + existing->Name + "\" already";
        return std::nullopt;
    }
    std::error_code ec;
    fs::create_directories(Folder(), ec);
    const std::string file = (fs::path(Folder()) / SiteFileName(trimmed)).string();
    // Readable by its owner only, like every settings file: it may hold a password.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "Could not create " + file + ": " + std::strerror(errno);
        return std::nullopt;
    }
    ::close(fd);
    return TSiteInfo{trimmed, file, false};
}

std::optional<TSiteInfo> TSites::Rename(std::string_view from, std::string_view to,
                                        std::string& error) const {
    const auto site = Find(from);
    if (!site) {
        error = "There is no site named \"" + TrimSiteName(from) + "\"";
        return std::nullopt;
    }
    if (site->IsDefault) {
        error = "The default site keeps its name";
        return std::nullopt;
    }
    const std::string trimmed = TrimSiteName(to);
    if (trimmed == site->Name)
        return site;
    if (!CheckSiteName(trimmed, error))
        return std::nullopt;
    if (const auto other = Find(trimmed); other && other->File != site->File) {
        error = "There is a site named \"" + other->Name + "\" already";
        return std::nullopt;
    }
    const std::string file = (fs::path(Folder()) / SiteFileName(trimmed)).string();
    std::error_code ec;
    fs::rename(site->File, file, ec);
    if (ec) {
        error = "Could not rename " + site->File + ": " + ec.message();
        return std::nullopt;
    }
    return TSiteInfo{trimmed, file, false};
}

bool TSites::Delete(std::string_view name, std::string& error) const {
    const auto site = Find(name);
    if (!site) {
        error = "There is no site named \"" + TrimSiteName(name) + "\"";
        return false;
    }
    if (site->IsDefault) {
        error = "The default site cannot be deleted";
        return false;
    }
    std::error_code ec;
    if (!fs::remove(site->File, ec)) {
        error = "Could not delete " + site->File + ": " + (ec ? ec.message() : "it is gone");
        return false;
    }
    return true;
}

} // namespace pelmora
