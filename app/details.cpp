#include "app/main_form.h"

#include "sync/detail.h"
#include "toolkit/date_time.h"

#include <cstdio>

namespace pelmora {

namespace {

// Used when no front end gives the locale's forms (the run without a window, tests).
std::string PlainDate(TDateTime value) {
    static const char* const days[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                       "Thursday", "Friday", "Saturday"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const TDateParts d = DecodeDate(value);
    const int weekday = DayOfWeek(value);
    if (d.Month < 1 || d.Month > 12 || weekday < 1 || weekday > 7)
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d", days[weekday - 1], d.Day,
                  months[d.Month - 1], d.Year);
    return text;
}

std::string PlainTime(TDateTime value) {
    const TTimeParts t = DecodeTime(value);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.Hour, t.Minute, t.Second);
    return text;
}

const char* KindWord(int kind) {
    switch (kind) {
    case kindDirectory:
        return "DIRECTORY";
    case kindFile:
        return "FILE";
    default:
        return "unknown";
    }
}

std::string Spaced(const std::string& text) {
    return text.empty() ? text : " " + text;
}

const TDetail* DetailAt(const TStringList& list, int line) {
    if (line < 0 || line >= list.Count())
        return nullptr;
    return dynamic_cast<const TDetail*>(list.Objects(line));
}

// The entry of the other side under the same path, as the compare matches them.
const TDetail* Counterpart(const TStringList& other, const TDetail& entry, bool foldCase) {
    const std::string key = EntryKey(entry.dir, entry.name);
    if (const TDetail* same = DetailAt(other, other.IndexOf(key)))
        return same;
    if (!foldCase)
        return nullptr;
    const std::string folded = FoldedKey(key);
    for (int i = 0; i < other.Count(); ++i)
        if (const TDetail* d = DetailAt(other, i);
            d && FoldedKey(EntryKey(d->dir, d->name)) == folded)
            return d;
    return nullptr;
}

std::string SizeWords(const TDetail* e) {
    if (!e)
        return "-";
    if (e->kind == kindDirectory)
        return "directory";
    return e->size < 0 ? "unknown" : std::to_string(e->size) + " bytes";
}

std::string Verdict(const TDetail* local, const TDetail* remote) {
    if (!remote)
        return "only here";
    if (!local)
        return "only on the server";
    if (local->kind != remote->kind)
        return "a file on one side, a directory on the other";
    if (local->kind == kindDirectory)
        return "same";
    std::string words;
    const auto add = [&words](const char* w) {
        words += (words.empty() ? "" : ", ") + std::string(w);
    };
    if (local->date > remote->date)
        add("local is newer");
    else if (remote->date > local->date)
        add("server is newer");
    if (local->size >= 0 && remote->size >= 0 && local->size != remote->size)
        add("sizes differ");
    return words.empty() ? "same" : words;
}

} // namespace

void TForm1::localTreeClick(int tag) {
    TTreeModel& tree = tag == 1 ? engine.localTree : engine.remoteTree;
    const TStringList& list = tag == 1 ? engine.localList : engine.remoteList;
    // No selected node (an empty tree, a click beside every node): nothing to describe,
    // and the page keeps what it showed.
    const int node = tree.Selected();
    if (node == TTreeModel::NoNode || node >= list.Count())
        return;
    const auto* entry = dynamic_cast<const TDetail*>(list.Objects(node));
    if (!entry)
        return;
    details.nameLbl.SetCaption(" " + entry->name);
    details.dirLbl.SetCaption(" " + entry->dir);
    details.dateLbl.SetCaption(" " +
                               (FormatDate ? FormatDate(entry->date) : PlainDate(entry->date)));
    details.timeLbl.SetCaption(" " +
                               (FormatTime ? FormatTime(entry->date) : PlainTime(entry->date)));
    details.typeLbl.SetCaption(Spaced(KindWord(entry->kind)));
    // "Remain" has no word: the label is emptied, never left with the word of the entry
    // clicked before.
    const bool kept = tag == 2 && !engine.options.mayDelete &&
                      (entry->action == actionDelete || entry->action == actionRemove);
    // The tick says the compare found the two copies in step, whatever the raw times
    // below say: a listing to the minute, or the server's own clock, can make either look
    // newer. The page says what the tick says.
    const bool inStep = tree.Node(node).StateIndex == markSame;
    details.actionLbl.SetCaption(kept     ? " kept (deleting is off)"
                                 : inStep ? " in step"
                                          : Spaced(ActionWord(entry->action)));

    const TDetail* other =
        Counterpart(tag == 1 ? engine.remoteList : engine.localList, *entry, engine.caseFolding);
    const TDetail* local = tag == 1 ? entry : other;
    const TDetail* remote = tag == 1 ? other : entry;
    const auto stamp = [this](const TDetail* e) -> std::string {
        if (!e)
            return "-";
        if (FormatStamp)
            return FormatStamp(e->date);
        return PlainDate(e->date) + " " + PlainTime(e->date);
    };
    details.localSizeLbl.SetCaption(SizeWords(local));
    details.remoteSizeLbl.SetCaption(SizeWords(remote));
    details.localTimeLbl.SetCaption(stamp(local));
    details.remoteTimeLbl.SetCaption(stamp(remote));
    details.verdictLbl.SetCaption(inStep && local && remote ? "in step: nothing to send"
                                                            : Verdict(local, remote));
}

} // namespace pelmora
