#include "app/run_report.h"

#include "toolkit/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace pelmora {

namespace {

std::string Tenths(long long tenths) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

// Whole seconds as a person reads them: "42 s", "2 min 5 s", "1 h 3 min".
std::string WholeSeconds(long long seconds) {
    if (seconds < 60)
        return std::to_string(seconds) + " s";
    if (seconds < 3600)
        return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    long long hours = seconds / 3600;
    long long minutes = (seconds % 3600 + 30) / 60;
    if (minutes == 60) {
        ++hours;
        minutes = 0;
    }
    return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
}

} // namespace

std::string FormatBytes(std::uint64_t bytes) {
    if (bytes < 1000)
        return std::to_string(bytes) + " B";
    static const char* const units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    long double scale = 1000.0L;
    for (size_t u = 0;; ++u, scale *= 1000.0L) {
        // Rounded first, so 999,960 bytes is "1.0 MB" and never "1000.0 kB".
        const long long tenths = std::llround(static_cast<long double>(bytes) * 10.0L / scale);
        if (tenths < 10000 || u + 1 == std::size(units))
            return Tenths(tenths) + " " + units[u];
    }
}

std::string FormatDuration(std::chrono::milliseconds duration) {
    const long long ms = std::max<long long>(0, duration.count());
    const long long tenths = (ms + 50) / 100;
    if (tenths < 100)
        return Tenths(tenths) + " s";
    return WholeSeconds((ms + 500) / 1000);
}

std::string SummaryLine(const TRunTotals& t, TSteadyTime now) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - t.start);
    return "Summary: " + std::to_string(t.uploaded) + " uploaded, " + std::to_string(t.refreshed) +
           " refreshed, " + std::to_string(t.created) + " created, " + std::to_string(t.deleted) +
           " deleted, " + std::to_string(t.failed) + " failed; " + FormatBytes(t.bytesSent) +
           " sent in " + FormatDuration(elapsed);
}

std::string DryRunSummary(const TRunTotals& w) {
    std::string line = "Dry run: ";
    if (w.uploaded + w.refreshed + w.created + w.deleted == 0) {
        line += "nothing to do";
    } else {
        line += "would upload " + std::to_string(w.uploaded) + ", refresh " +
                std::to_string(w.refreshed);
        if (w.created > 0)
            line += ", create " + std::to_string(w.created);
        line += ", delete " + std::to_string(w.deleted) + " -- " + FormatBytes(w.bytesToSend);
    }
    if (w.failed > 0)
        line += "; " + std::to_string(w.failed) + " failed";
    return line;
}

std::string UpdateSummary(const TRunTotals& t, TSteadyTime now) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - t.start);
    std::string line =
        "Uploaded " + std::to_string(t.uploaded) + ", refreshed " + std::to_string(t.refreshed);
    if (t.created > 0)
        line += ", created " + std::to_string(t.created);
    line += ", deleted " + std::to_string(t.deleted) + " \u2014 " + FormatBytes(t.bytesSent) +
            " in " + FormatDuration(elapsed);
    if (t.failed > 0)
        line += "; " + std::to_string(t.failed) + " failed";
    return line;
}

std::string StepDoneLine(TStepKind kind, const std::string& path, std::int64_t bytes) {
    switch (kind) {
    case TStepKind::Upload:
    case TStepKind::Refresh:
        return "sent " + path + " (" +
               FormatBytes(static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0))) + ")";
    case TStepKind::Create:
        return "created " + path;
    case TStepKind::Delete:
    case TStepKind::Remove:
        break;
    }
    return "deleted " + path;
}

std::string ProgressLine(const TRunTotals& t, TSteadyTime now) {
    const TSteadyTime from = t.uploadStart == TSteadyTime{} ? t.start : t.uploadStart;
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - from).count();
    const std::uint64_t total = std::max(t.bytesToSend, t.bytesSent);
    // Rounded down: "100%" only once everything is sent.
    const std::uint64_t percent = total == 0 ? 100 : t.bytesSent * 100 / total;
    std::string line = "Uploading " + FormatBytes(t.bytesSent) + " of " + FormatBytes(total) +
                       " (" + std::to_string(percent) + "%)";
    // Less than half a second of sending says little about the rate.
    if (ms < 500 || t.bytesSent == 0)
        return line;
    const long double rate = static_cast<long double>(t.bytesSent) * 1000.0L / ms;
    line += ", " + FormatBytes(static_cast<std::uint64_t>(rate)) + "/s";
    if (t.bytesSent < total) {
        const auto left = static_cast<long long>(std::ceil((total - t.bytesSent) / rate));
        line += ", " + WholeSeconds(left) + " left";
    }
    return line;
}

std::string GroupedNumber(std::int64_t n) {
    const std::string digits =
        std::to_string(n < 0 ? -static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n));
    std::string grouped = n < 0 ? "-" : "";
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string CountOf(std::int64_t n, const char* one, const char* many) {
    return GroupedNumber(n) + " " + (n == 1 ? one : many);
}

namespace {

std::string FilesIn(const TPhase& phase) {
    return CountOf(phase.files, "file", "files") + " in " +
           CountOf(phase.directories, "directory", "directories");
}

std::string InBrackets(const std::string& text) {
    return text.empty() ? std::string() : " (" + text + ")";
}

// Parts joined with `separator`, the empty ones left out.
std::string Joined(const std::vector<std::string>& parts, const char* separator) {
    std::string joined;
    for (const std::string& part : parts)
        if (!part.empty())
            joined += (joined.empty() ? "" : separator) + part;
    return joined;
}

std::string Bytes(std::int64_t bytes) {
    return FormatBytes(static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0)));
}

} // namespace

std::string PhaseLine(const TPhase& p, const std::string& server, const std::string& security) {
    using K = TPhase::TKind;
    switch (p.kind) {
    case K::LocalLoaded:
        return "Local: " + FilesIn(p) + InBrackets(p.place);
    case K::Connecting:
        return "Connecting to " + p.place +
               (p.port != 0 && p.port != 21 ? " (port " + std::to_string(p.port) + ")" : "");
    case K::Connected:
        return server.empty() ? "Connected" : "Connected to " + server + InBrackets(security);
    case K::RemoteLoaded: {
        std::string line =
            (p.again ? "Remote after the update: " : "Remote: ") + FilesIn(p) + InBrackets(p.place);
        if (p.notRead > 0)
            line += "; " + CountOf(p.notRead, "directory", "directories") + " could not be read";
        return line;
    }
    case K::Compared: {
        const std::string said = Joined(
            {p.conflicts == 0 ? ""
                              : CountOf(p.conflicts, "entry", "entries") +
                                    " could not be compared (listed at the end)",
             p.kept == 0 ? ""
                         : CountOf(p.kept, "entry", "entries") + " only on the server" +
                               (p.kept == 1 ? " stays" : " stay") + " there: deleting is off"},
            "; ");
        return said.empty() ? said : "Compared: " + said;
    }
    case K::Deleting:
        if (p.files + p.directories == 0)
            return {};
        return "Deleting " +
               Joined(
                   {p.files == 0 ? "" : CountOf(p.files, "file", "files"),
                    p.directories == 0 ? "" : CountOf(p.directories, "directory", "directories")},
                   " and ");
    case K::Creating:
        return p.directories == 0
                   ? std::string()
                   : "Creating " + CountOf(p.directories, "directory", "directories");
    case K::Uploading:
        return p.files == 0
                   ? std::string()
                   : "Uploading " + CountOf(p.files, "file", "files") + " (" + Bytes(p.bytes) + ")";
    case K::LoadingRemote:
    case K::Comparing:
    case K::Updating:
    case K::UpdateDone:
    case K::UpdateStopped:
        break;
    }
    return {};
}

std::string PlanTotals(const TPlanListing& plan) {
    std::int64_t added = 0, changed = 0, bytes = 0, deletes = 0, removes = 0;
    std::int64_t creates = plan.rootLine.empty() ? 0 : 1;
    for (const TPlanItem& item : plan.items) {
        switch (item.kind) {
        case TStepKind::Upload:
        case TStepKind::Refresh:
            ++(item.kind == TStepKind::Upload ? added : changed);
            bytes += std::max<std::int64_t>(item.bytes, 0);
            break;
        case TStepKind::Create:
            ++creates;
            break;
        case TStepKind::Delete:
            ++deletes;
            break;
        case TStepKind::Remove:
            ++removes;
            break;
        }
    }
    std::string uploads;
    if (added + changed > 0) {
        uploads = CountOf(added + changed, "upload", "uploads");
        if (changed > 0)
            uploads +=
                " (" + GroupedNumber(added) + " new, " + GroupedNumber(changed) + " changed)";
        uploads += ", " + Bytes(bytes);
    }
    const std::string totals = Joined(
        {uploads, creates == 0 ? "" : CountOf(creates, "directory", "directories") + " to create",
         deletes == 0 ? "" : CountOf(deletes, "delete", "deletes"),
         removes == 0 ? "" : CountOf(removes, "directory", "directories") + " to remove"},
        "; ");
    return totals.empty() ? "Nothing to do" : "Total: " + totals;
}

std::vector<std::string> PlanListingLines(const TPlanListing& plan) {
    std::vector<std::string> lines;
    const bool empty = plan.rootLine.empty() && plan.items.empty();
    if (!plan.dryRun && !empty)
        lines.push_back("Plan:");
    if (!plan.rootLine.empty())
        lines.push_back("  " + plan.rootLine);
    // By path, as the bytes of the names sort: the same order on every machine and in
    // every locale, a directory before what goes into it. Steps on one path keep the
    // order the update makes them in.
    std::vector<const TPlanItem*> sorted;
    sorted.reserve(plan.items.size());
    for (const TPlanItem& item : plan.items)
        sorted.push_back(&item);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TPlanItem* a, const TPlanItem* b) { return a->path < b->path; });
    for (const TPlanItem* item : sorted) {
        const bool file = item->kind != TStepKind::Create && item->kind != TStepKind::Remove;
        lines.push_back("  " + PlanLine(*item) +
                        (file && item->bytes >= 0 ? " (" + Bytes(item->bytes) + ")" : ""));
    }
    for (const std::string& kept : plan.kept)
        lines.push_back("  " + kept);
    lines.push_back(PlanTotals(plan));
    return lines;
}

bool Shows(TOutputLevel level, TLineKind kind) {
    switch (level) {
    case TOutputLevel::Quiet:
        return kind == TLineKind::Failure || kind == TLineKind::Summary;
    case TOutputLevel::Normal:
        return kind != TLineKind::PerEntry;
    case TOutputLevel::Verbose:
        return true;
    }
    return true;
}

TProgressPrinter::TProgressPrinter(std::ostream& out, bool terminal, TClock clock)
    : out_(out), terminal_(terminal), clock_(std::move(clock)) {
    if (!clock_)
        clock_ = [] { return std::chrono::steady_clock::now(); };
}

void TProgressPrinter::Show(std::string_view line) {
    const TSteadyTime now = clock_();
    if (terminal_) {
        if (shown_ && now - last_ < terminalInterval)
            return;
        // Written first, then the rest of the row erased: a shorter line leaves no tail of
        // the longer one, and the row never flickers empty.
        out_ << '\r' << line << "\033[K" << std::flush;
        shown_ = true;
        last_ = now;
        return;
    }
    if (!timing_) {
        timing_ = true;
        last_ = now;
        return;
    }
    if (now - last_ < pipeInterval)
        return;
    out_ << line << '\n' << std::flush;
    last_ = now;
}

void TProgressPrinter::Clear() {
    if (!shown_)
        return;
    out_ << "\r\033[K" << std::flush;
    shown_ = false;
}

std::string IsoUtcStamp(std::chrono::system_clock::time_point time) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

TLogFile::TLogFile(TClock clock) : clock_(std::move(clock)) {
    if (!clock_)
        clock_ = [] { return std::chrono::system_clock::now(); };
}

TLogFile::~TLogFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool TLogFile::Open(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "Could not open the log file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    return true;
}

void TLogFile::HideSecret(std::string secret) {
    mask_.Hide(secret);
}

bool TLogFile::Write(std::string_view text) {
    if (fd_ < 0)
        return false;
    const std::string clean = mask_.Apply(text);
    const std::string stamp = IsoUtcStamp(clock_()) + " ";
    std::string out;
    for (size_t start = 0; start <= clean.size();) {
        size_t end = clean.find('\n', start);
        if (end == std::string::npos)
            end = clean.size();
        out += stamp;
        out.append(clean, start, end - start);
        out += '\n';
        start = end + 1;
        if (start == clean.size())
            break;
    }
    // One write for the whole text, so lines of two runs sharing the file do not mix.
    for (size_t done = 0; done < out.size();) {
        const ssize_t n = ::write(fd_, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = std::string("Could not write to the log file: ") + std::strerror(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace pelmora
