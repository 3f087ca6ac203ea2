#include "sync/local_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora {

TLocalDir::~TLocalDir() {
    Reset();
}

void TLocalDir::Reset() {
    for (const TLevel& level : stack_)
        ::close(level.fd);
    stack_.clear();
}

bool TLocalDir::Push(int fd) {
    struct stat st {};
    if (fd < 0)
        return false;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    stack_.push_back(TLevel{fd, st.st_dev, st.st_ino});
    return true;
}

bool TLocalDir::Change(const std::string& path) {
    if (path.empty())
        return false;
    if (path == "..") {
        if (stack_.size() < 2)
            return false;
        ::close(stack_.back().fd);
        stack_.pop_back();
        return true;
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (path.front() == '/') {
        const int fd = ::open(path.c_str(), flags);
        if (fd < 0)
            return false;
        Reset();
        return Push(fd);
    }
    const int base = stack_.empty() ? AT_FDCWD : stack_.back().fd;
    return Push(::openat(base, path.c_str(), flags));
}

bool TLocalDir::Read(std::vector<TEntry>& entries) const {
    entries.clear();
    if (stack_.empty())
        return false;
    const int here = stack_.back().fd;
    const int fd = ::openat(here, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return false;
    }
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        // Links count as what they lead to.
        if (::fstatat(here, d->d_name, &st, 0) != 0) {
            entries.push_back(TEntry{name, Broken, 0, 0});
            continue;
        }
        const TType type = S_ISDIR(st.st_mode)   ? Directory
                           : S_ISREG(st.st_mode) ? Regular
                                                 : Special;
        entries.push_back(TEntry{name, type, st.st_mtim.tv_sec, st.st_size, st.st_mtim.tv_nsec});
    }
    ::closedir(dir);
    return true;
}

bool TLocalDir::CurrentRepeats() const {
    if (stack_.empty())
        return false;
    const TLevel& here = stack_.back();
    for (size_t i = 0; i + 1 < stack_.size(); ++i)
        if (stack_[i].device == here.device && stack_[i].inode == here.inode)
            return true;
    return false;
}

} // namespace pelmora
