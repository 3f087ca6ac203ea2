#pragma once

#include <QIcon>
#include <QPixmap>

namespace pelmora::ui {

// The state image of a tree node by its index (1 directory, 2 create directory,
// 3 upload, 4 refresh, 5 remove directory, 6 delete, 7 file, 8 remote newer); a null
// icon for any other.
QIcon StateIcon(int stateIndex);

// The program's own icon, as the window and the desktop show it.
QIcon ProgramIcon();

// A picture of the window: "version_strip", "info_sync" or "info_globe".
QPixmap Artwork(const char* name);

} // namespace pelmora::ui
