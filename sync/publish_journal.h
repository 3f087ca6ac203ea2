#pragma once

#include "sync/entry_time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

struct sqlite3;

namespace pelmora {

// What Pelmora knew of one file when it last published it: the local file it sent, and
// how the server listed the file right after. The listed time is kept as the listing
// printed it (read as if it were UTC), so that learning the server's zone later does not
// make every row look changed.
struct TJournalRow {
    long long localSize = -1;
    int64_t localMtimeNs = 0; // nanoseconds since 1970
    long long remoteSize = -1;
    TEntryTime remoteListed;
    // The server's exact time of its copy, where a listing gave it to the second.
    std::optional<int64_t> remoteExact;
    bool operator==(const TJournalRow&) const = default;
};

// The rows of one place (server, account and remote root), by relative path.
using TJournalRows = std::unordered_map<std::string, TJournalRow>;

// A local file and its server copy as the compare sees them, in the terms of a row.
struct TJournalSides {
    long long localSize = -1;
    int64_t localMtimeNs = 0;
    long long remoteSize = -1;
    TEntryTime remoteListed;
};

// What the journal says of a file: nothing (no row: the time rules decide), unchanged
// since our upload, or changed on one side or the other.
enum class TJournalVerdict : uint8_t { NoRow, Unchanged, Changed };

// The rule: unchanged only when the local file has the size and the very modification
// time it had when it was sent, and the server lists its copy as it did right after.
// A listing may only have grown coarser since (a file older than about six months loses
// its time of day); then the recorded time must lie inside the day now shown.
TJournalVerdict JudgeByJournal(const TJournalRow* row, const TJournalSides& now);

// A listed time as the listing printed it, read as if it were UTC, from the time the
// engine holds (UTC, the listing's zone taken off): exact times stay as they are.
TEntryTime ListedAsPrinted(const TEntryTime& time, int zoneMinutes);

// The publish journal of one site: an SQLite database that keeps a row for every file
// Pelmora sent and saw confirmed by the listing after the update. It only ever tells
// whether a file is unchanged; a journal that cannot be opened, read or written leaves
// the compare to the time rules, and says so once.
class TPublishJournal {
public:
    TPublishJournal() = default;
    TPublishJournal(const TPublishJournal&) = delete;
    TPublishJournal& operator=(const TPublishJournal&) = delete;
    ~TPublishJournal();

    // Opens the database `file` (made, with its directory, when missing) for the rows of
    // `place`. False, with `why`, when it cannot be used; the journal is closed then.
    bool Open(const std::string& file, const std::string& place, std::string& why);
    bool IsOpen() const { return db_ != nullptr; }
    const std::string& File() const { return file_; }
    const std::string& Place() const { return place_; }
    void Close();

    // Every row of the place. False, with `why`, when the database cannot be read.
    bool ReadRows(TJournalRows& rows, std::string& why);
    // Writes (or replaces) the row of `path`, committed at once. False, with `why`, when
    // the database cannot be written.
    bool Record(const std::string& path, const TJournalRow& row, std::string& why);

private:
    bool Fail(const char* what, std::string& why);
    sqlite3* db_ = nullptr;
    std::string file_;
    std::string place_;
};

// One run of a site at a time: an exclusive lock on a file beside the site's journal,
// held while the object holds it. The file names the process that holds it.
class TSiteRunLock {
public:
    TSiteRunLock() = default;
    TSiteRunLock(const TSiteRunLock&) = delete;
    TSiteRunLock& operator=(const TSiteRunLock&) = delete;
    ~TSiteRunLock() { Release(); }

    enum class TResult : uint8_t { Taken, Busy, Unavailable };
    // Takes the lock of `file` (made, with its directory, when missing). Busy: another
    // run holds it, and `holder` is its process id when the file names one (else 0).
    // Unavailable: the file cannot be made or locked; `why` says why.
    TResult Take(const std::string& file, long& holder, std::string& why);
    bool Held() const { return fd_ >= 0; }
    void Release();

private:
    int fd_ = -1;
};

} // namespace pelmora
