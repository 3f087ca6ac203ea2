#pragma once

#include <functional>
#include <string>

namespace pelmora {

// The window services the logic asks for without knowing whether a window exists.
// A desktop front end installs its own handlers; without one, messages go to standard
// error and the cursor is left alone.
struct TServices {
    std::function<void(const std::string&)> ShowMessage;
    std::function<void(bool)> SetHourglass;
};

TServices& Services();

void ShowMessage(const std::string& text);
void SetHourglassCursor(bool busy);

} // namespace pelmora
