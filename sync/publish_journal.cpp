#include "sync/publish_journal.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace pelmora {

namespace {

constexpr int64_t Day = 86400;

// The listing may have grown coarser since the row was written (a file that turned six
// months old is listed with its date only); the recorded time must then fall on that date.
bool ListingFits(const TEntryTime& recorded, const TEntryTime& now) {
    if (recorded == now)
        return true;
    return now.precision == TTimePrecision::Day && recorded.precision == TTimePrecision::Minute &&
           recorded.utc >= now.utc && recorded.utc < now.utc + Day;
}

// The directory of a state file, made private to the user when it is new: the journal
// names every file of the site.
bool MakeParent(const std::string& file, std::string& why) {
    const std::filesystem::path dir = std::filesystem::path(file).parent_path();
    if (dir.empty())
        return true;
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec))
        return true;
    if (!std::filesystem::create_directories(dir, ec) && ec) {
        why = "cannot make " + dir.string() + ": " + ec.message();
        return false;
    }
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
    return true;
}

// Version of the table's layout; a database of a later layout is not ours to change.
constexpr int Layout = 1;

const char* const CreateTable = "CREATE TABLE IF NOT EXISTS published ("
                                " place BLOB NOT NULL,"
                                " path BLOB NOT NULL,"
                                " local_size INTEGER NOT NULL,"
                                " local_mtime_ns INTEGER NOT NULL,"
                                " remote_size INTEGER NOT NULL,"
                                " remote_time INTEGER NOT NULL,"
                                " remote_precision INTEGER NOT NULL,"
                                " remote_exact INTEGER,"
                                " recorded_at INTEGER NOT NULL,"
                                " PRIMARY KEY (place, path)) WITHOUT ROWID";

// A prepared statement, finalized however the function that made it ends.
class TStatement {
public:
    TStatement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            stmt_ = nullptr;
    }
    ~TStatement() { sqlite3_finalize(stmt_); }
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void BindBytes(int i, const std::string& bytes) {
        sqlite3_bind_blob(stmt_, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::string BytesOf(sqlite3_stmt* stmt, int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size))
                : std::string();
}

} // namespace

TJournalVerdict JudgeByJournal(const TJournalRow* row, const TJournalSides& now) {
    if (row == nullptr)
        return TJournalVerdict::NoRow;
    const bool localSame = row->localSize == now.localSize && row->localMtimeNs == now.localMtimeNs;
    const bool remoteSame =
        row->remoteSize == now.remoteSize && ListingFits(row->remoteListed, now.remoteListed);
    return localSame && remoteSame ? TJournalVerdict::Unchanged : TJournalVerdict::Changed;
}

TEntryTime ListedAsPrinted(const TEntryTime& time, int zoneMinutes) {
    TEntryTime listed = time;
    if (time.precision == TTimePrecision::Minute || time.precision == TTimePrecision::Day)
        listed.utc += static_cast<int64_t>(zoneMinutes) * 60;
    return listed;
}

TPublishJournal::~TPublishJournal() {
    Close();
}

void TPublishJournal::Close() {
    if (db_ != nullptr)
        sqlite3_close_v2(db_);
    db_ = nullptr;
    file_.clear();
    place_.clear();
}

bool TPublishJournal::Fail(const char* what, std::string& why) {
    why = std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    Close();
    return false;
}

bool TPublishJournal::Open(const std::string& file, const std::string& place, std::string& why) {
    Close();
    if (!MakeParent(file, why))
        return false;
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
        return Fail("cannot open it", why);
    // Another program holding the database (a look with the sqlite3 tool, say) is
    // waited for a moment, then the run goes on without the journal.
    sqlite3_busy_timeout(db_, 1000);
    {
        TStatement mode(db_, "PRAGMA journal_mode=WAL");
        if (!mode || sqlite3_step(mode.get()) != SQLITE_ROW)
            return Fail("cannot read it", why);
    }
    // Each row is committed when its file is confirmed; a lost power may cost the last
    // rows, never the database.
    if (sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail("cannot read it", why);
    {
        TStatement version(db_, "PRAGMA user_version");
        if (!version || sqlite3_step(version.get()) != SQLITE_ROW)
            return Fail("cannot read it", why);
        const int layout = sqlite3_column_int(version.get(), 0);
        if (layout > Layout) {
            why = "it was written by a later version of Pelmora";
            Close();
            return false;
        }
    }
    if (sqlite3_exec(db_, CreateTable, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db_, "PRAGMA user_version=1", nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail("cannot write it", why);
    file_ = file;
    place_ = place;
    return true;
}

bool TPublishJournal::ReadRows(TJournalRows& rows, std::string& why) {
    rows.clear();
    if (db_ == nullptr) {
        why = "it is not open";
        return false;
    }
    TStatement select(db_, "SELECT path, local_size, local_mtime_ns, remote_size, remote_time,"
                           " remote_precision, remote_exact FROM published WHERE place = ?");
    if (!select)
        return Fail("cannot read it", why);
    select.BindBytes(1, place_);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = select.get();
        TJournalRow row;
        row.localSize = sqlite3_column_int64(s, 1);
        row.localMtimeNs = sqlite3_column_int64(s, 2);
        row.remoteSize = sqlite3_column_int64(s, 3);
        row.remoteListed.utc = sqlite3_column_int64(s, 4);
        const int precision = sqlite3_column_int(s, 5);
        if (precision < 0 || precision > static_cast<int>(TTimePrecision::Second))
            continue; // not a row this version wrote: no verdict from it
        row.remoteListed.precision = static_cast<TTimePrecision>(precision);
        if (sqlite3_column_type(s, 6) != SQLITE_NULL)
            row.remoteExact = sqlite3_column_int64(s, 6);
        rows[BytesOf(s, 0)] = row;
    }
    if (step != SQLITE_DONE) {
        rows.clear();
        return Fail("cannot read it", why);
    }
    return true;
}

bool TPublishJournal::Record(const std::string& path, const TJournalRow& row, std::string& why) {
    if (db_ == nullptr) {
        why = "it is not open";
        return false;
    }
    TStatement insert(db_, "INSERT OR REPLACE INTO published (place, path, local_size,"
                           " local_mtime_ns, remote_size, remote_time, remote_precision,"
                           " remote_exact, recorded_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!insert)
        return Fail("cannot write it", why);
    sqlite3_stmt* s = insert.get();
    insert.BindBytes(1, place_);
    insert.BindBytes(2, path);
    sqlite3_bind_int64(s, 3, row.localSize);
    sqlite3_bind_int64(s, 4, row.localMtimeNs);
    sqlite3_bind_int64(s, 5, row.remoteSize);
    sqlite3_bind_int64(s, 6, row.remoteListed.utc);
    sqlite3_bind_int(s, 7, static_cast<int>(row.remoteListed.precision));
    if (row.remoteExact)
        sqlite3_bind_int64(s, 8, *row.remoteExact);
    else
        sqlite3_bind_null(s, 8);
    sqlite3_bind_int64(s, 9, static_cast<int64_t>(std::time(nullptr)));
    if (sqlite3_step(s) != SQLITE_DONE)
        return Fail("cannot write it", why);
    return true;
}

TSiteRunLock::TResult TSiteRunLock::Take(const std::string& file, long& holder, std::string& why) {
    Release();
    holder = 0;
    if (!MakeParent(file, why))
        return TResult::Unavailable;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = "cannot open " + file + ": " + std::strerror(errno);
        return TResult::Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            char text[32] = {};
            const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
            if (got > 0)
                holder = std::strtol(text, nullptr, 10);
            ::close(fd);
            return TResult::Busy;
        }
        ::close(fd);
        why = "cannot lock " + file + ": " + std::strerror(error);
        return TResult::Unavailable;
    }
    // The holder's name for whoever finds the lock taken.
    const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds all the same; only its holder's name is missing.
    }
    fd_ = fd;
    return TResult::Taken;
}

void TSiteRunLock::Release() {
    if (fd_ < 0)
        return;
    // The name goes first, so that nobody reads a finished run's as the holder.
    if (::ftruncate(fd_, 0) != 0) {
    }
    ::close(fd_);
    fd_ = -1;
}

} // namespace pelmora
