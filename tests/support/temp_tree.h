#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace pelmora::testing {

// A directory of the test's own under the system's temporary directory, removed again
// (with everything in it) when the object goes.
class TTempTree {
public:
    TTempTree();
    ~TTempTree();
    TTempTree(const TTempTree&) = delete;
    TTempTree& operator=(const TTempTree&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::string Path(const std::string& relative = "") const;

    // Writes a file (creating its directories) and returns its full path.
    std::string File(const std::string& relative, const std::string& content = "");
    std::string Dir(const std::string& relative);
    // Sets the last-write time of a file or directory, local time.
    void SetTime(const std::string& relative, int year, int month, int day, int hour, int minute,
                 int second);

private:
    std::filesystem::path root_;
};

// The bytes of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// Every file and directory below `root` by its relative path (directories end in "/"),
// with the bytes of each file; links are taken as what they lead to, under their own name.
std::map<std::string, std::string> Snapshot(const std::filesystem::path& root);

} // namespace pelmora::testing
