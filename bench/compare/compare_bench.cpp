// Times TSyncCore::AnalyseLists on two sides of N entries each and reports peak memory.
//
//     compare_bench [FILES [DIRS]]      defaults: 100000 files in 1000 directories
//
// Both sides hold the same tree (the remote one in other letter case, as a server may
// name it); a tenth of the files have no partner on the other side, a tenth differ in size and a
// tenth are older, so every branch of the compare is taken. Prints one line:
//     entries=L/R fill_s=... compare_s=... peak_mb=... compare_peak_mb=...
#include "sync/sync_core.h"

#include <QCoreApplication>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace pelmora;

namespace {

// A date of the TDateTime form as an exact UTC time.
TEntryTime ExactTime(TDateTime date) {
    return {static_cast<int64_t>((date - 25569.0) * 86400.0), TTimePrecision::Second};
}

double PeakMb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// One side, in the pre-order the loads produce: "/dirNN/subNNNN" then its files.
void Fill(TSyncCore& core, bool remote, int files, int dirs) {
    TStringList& list = remote ? core.remoteList : core.localList;
    TTreeModel& tree = remote ? core.remoteTree : core.localTree;
    const int perDir = files / dirs;
    const int groups = (dirs + 99) / 100;
    int made = 0;
    for (int g = 0; g < groups; ++g) {
        char top[32];
        std::snprintf(top, sizeof top, "dir%02d", g);
        auto* topEntry = new TDetail;
        topEntry->kind = kindDirectory;
        topEntry->name = remote ? Upper(top) : top;
        topEntry->date = 40000.0;
        topEntry->time = ExactTime(40000.0);
        const int topNode = core.AddEntry(list, tree, topEntry, TTreeModel::NoNode);
        for (int d = g * 100; d < dirs && d < (g + 1) * 100; ++d) {
            char sub[32];
            std::snprintf(sub, sizeof sub, "sub%04d", d);
            auto* subEntry = new TDetail;
            subEntry->kind = kindDirectory;
            subEntry->dir = "/" + topEntry->name;
            subEntry->name = remote ? Upper(sub) : sub;
            subEntry->date = 40000.0;
            subEntry->time = ExactTime(40000.0);
            const int subNode = core.AddEntry(list, tree, subEntry, topNode);
            const std::string here = subEntry->dir + "/" + subEntry->name;
            for (int f = 0; f < perDir; ++f, ++made) {
                char name[32];
                // A tenth of the files have no partner: on the server under another name.
                std::snprintf(name, sizeof name,
                              remote && made % 10 == 3 ? "gone%04d.html" : "file%04d.html", f);
                auto* file = new TDetail;
                file->kind = kindFile;
                file->dir = here;
                file->name = remote ? Upper(name) : name;
                file->size = 1000 + f;
                file->date = 40000.0;
                file->time = ExactTime(40000.0);
                if (remote && made % 10 == 5)
                    file->size += 1; // cut short or changed
                if (remote && made % 10 == 7)
                    file->date = 39999.0; // older than the local copy
                file->time = ExactTime(39999.0);
                core.AddEntry(list, tree, file, subNode);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int dirs = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (files < 1 || dirs < 1 || files < dirs) {
        std::fprintf(stderr, "usage: compare_bench [FILES [DIRS]]\n");
        return 2;
    }
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    TSyncView quiet; // the bench shows nothing while it measures
    TSyncCore core(quiet);
    // The server side is written in capitals, as a DOS/Windows-style server lists it:
    // matching then folds case, the dearer of the two ways to match.
    core.caseFolding = true;
    const auto fillStart = std::chrono::steady_clock::now();
    Fill(core, false, files, dirs);
    Fill(core, true, files, dirs);
    const double fill = Seconds(fillStart);
    const double beforeMb = PeakMb();

    const auto start = std::chrono::steady_clock::now();
    core.AnalyseLists();
    const double compare = Seconds(start);
    const double peak = PeakMb();

    int updates = 0;
    for (int i = 0; i < core.localList.Count(); ++i)
        updates += static_cast<TDetail*>(core.localList.Objects(i))->action != actionRemain;
    std::printf("entries=%d/%d changes=%d fill_s=%.3f compare_s=%.3f peak_mb=%.1f "
                "compare_peak_mb=%.1f\n",
                core.localList.Count(), core.remoteList.Count(), updates, fill, compare, peak,
                peak - beforeMb);
    core.FreeEntries(core.localList);
    core.FreeEntries(core.remoteList);
    return core.Status() == "Files Compared. Ready for Transfer" ? 0 : 1;
}
