#include "temp_tree.h"

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora::testing {

namespace fs = std::filesystem;

TTempTree::TTempTree() {
    static std::atomic<int> counter{0};
    root_ = fs::temp_directory_path() /
            ("pelmora-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_);
}

TTempTree::~TTempTree() {
    std::error_code ec;
    // Give back permissions a test took away, so everything can be removed.
    for (auto it = fs::recursive_directory_iterator(
             root_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        ::chmod(it->path().c_str(), 0755);
    ::chmod(root_.c_str(), 0755);
    fs::remove_all(root_, ec);
}

std::string TTempTree::Path(const std::string& relative) const {
    return relative.empty() ? root_.string() : (root_ / relative).string();
}

std::string TTempTree::File(const std::string& relative, const std::string& content) {
    const fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}

std::string TTempTree::Dir(const std::string& relative) {
    fs::create_directories(root_ / relative);
    return (root_ / relative).string();
}

void TTempTree::SetTime(const std::string& relative, int year, int month, int day, int hour,
                        int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    const time_t when = std::mktime(&t);
    const timespec times[2] = {{when, 0}, {when, 123000000}};
    ::utimensat(AT_FDCWD, (root_ / relative).c_str(), times, 0);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::map<std::string, std::string> Snapshot(const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        // Lexically: fs::relative would resolve a link to its target's name.
        const std::string rel = e.path().lexically_relative(root).string();
        if (e.is_directory()) {
            files[rel + "/"] = "";
        } else {
            files[rel] = ReadFile(e.path().string());
        }
    }
    return files;
}

} // namespace pelmora::testing
