#pragma once

#include "sync/detail.h"
#include "toolkit/controls.h"
#include "toolkit/string_list.h"

#include <string>
#include <string_view>

namespace pelmora {

// The remote load reads the server's listing lines itself. It rewrites each line into
// one layout of blank-separated fields:
//   0  "D" or "F" and the name without blanks (UNIX lines: the original line follows)
//   4  size, 5 month, 6 day, 7 year or hh:mm, 8.. the name, blanks kept

struct TSkipped {
    std::string rest;
    bool isDirectory = false;
};

// The text from field n to the end (the line cut to 255 characters first, trailing
// blanks removed); isDirectory when the line starts with "d" or "D".
TSkipped SkipFields(std::string_view line, int n);

std::string RemoveSpaces(std::string_view text);

// Rewrites every line of a freshly filled work list into the layout above and sorts it,
// directories first. DOS-form lines (starting with a digit) leave "Raw: " and
// "Processed: " lines in `memo`. Lines that must never become entries ("." and "..",
// names that hold a line break or a "/") are emptied, with a "Raw: " line.
void PrepareWorkList(TStringList& workList, TMemo& memo);

// The entry a prepared line stands for: its name (field 8 on) and whether it is a
// directory. The name is empty when the line gives none, and also when it is one that
// must never be sent back to the server: ".", "..", or a name holding "/", CR, LF or NUL,
// which would reach outside the directory being walked or break the command.
TSkipped EntryOfLine(std::string_view preparedLine);

// Fills a new entry from a prepared line. A date that cannot be built (a day of 31 in
// April, a month or year that is no number) leaves the date 0, so the local copy counts
// as newer. The size is kept when field 4 is a number, else -1.
void FillRemoteDetail(TDetail& entry, uint8_t kind, const std::string& name, std::string_view line,
                      std::string_view recurseDir);

} // namespace pelmora
