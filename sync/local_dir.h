#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace pelmora {

// The local walk's idea of a current directory. It holds an open handle for every
// directory on the way down, so ".." returns to where the walk came from (also through
// a symbolic link), and the process's own current directory is never changed.
class TLocalDir {
public:
    enum TType : uint8_t {
        Regular,
        Directory,
        Special, // a pipe, socket or device: never opened, never sent
        Broken,  // a link that cannot be followed (it leads nowhere, or to a disk not there)
    };
    struct TEntry {
        std::string name;
        TType type = Regular;
        time_t mtime = 0;
        long long size = 0;
        long mtimeNsec = 0; // the nanoseconds within `mtime`'s second
        bool isDirectory() const { return type == Directory; }
    };

    TLocalDir() = default;
    TLocalDir(const TLocalDir&) = delete;
    TLocalDir& operator=(const TLocalDir&) = delete;
    ~TLocalDir();

    // An absolute path starts a new walk there; a relative one is taken from the current
    // directory; ".." goes back one step. False (and nothing changed) when it cannot.
    bool Change(const std::string& path);
    // Entries of the current directory in the order the system gives them, links
    // followed, "." and ".." left out. False when it cannot be read.
    bool Read(std::vector<TEntry>& entries) const;
    // True when the current directory is also one further up the walk: a link led back.
    bool CurrentRepeats() const;
    size_t Depth() const { return stack_.size(); }
    void Reset();

private:
    struct TLevel {
        int fd;
        dev_t device;
        ino_t inode;
    };
    bool Push(int fd);
    std::vector<TLevel> stack_;
};

} // namespace pelmora
