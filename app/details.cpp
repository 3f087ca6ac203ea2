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

} // namespace

void TForm1::localTreeClick(int tag) {
    TTreeModel& tree = tag == 1 ? localTree : remoteTree;
    const TStringList& list = tag == 1 ? localList : remoteList;
    // No selected node (an empty tree, a click beside every node): nothing to describe,
    // and the page keeps what it showed.
    const int node = tree.Selected();
    if (node == TTreeModel::NoNode || node >= list.Count())
        return;
    const auto* entry = dynamic_cast<const TDetail*>(list.Objects(node));
    if (!entry)
        return;
    DebugLog(entry->name);
    DebugLog(entry->dir);
    nameLbl.SetCaption(" " + entry->name);
    dirLbl.SetCaption(" " + entry->dir);
    dateLbl.SetCaption(" " + (FormatDate ? FormatDate(entry->date) : PlainDate(entry->date)));
    timeLbl.SetCaption(" " + (FormatTime ? FormatTime(entry->date) : PlainTime(entry->date)));
    typeLbl.SetCaption(Spaced(KindWord(entry->kind)));
    // "Remain" has no word: the label is emptied, never left with the word of the entry
    // clicked before.
    actionLbl.SetCaption(Spaced(ActionWord(entry->action)));
}

} // namespace pelmora
