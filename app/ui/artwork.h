#pragma once

#include <QIcon>
#include <QPixmap>

namespace pelmora::ui {

// The state images of the trees, by their index.
enum TStateImage : int {
    imageNone = -1,
    imageDirectory = 1,
    imageCreateDir = 2,
    imageUpload = 3,
    imageRefresh = 4,
    imageRemoveDir = 5,
    imageDelete = 6,
    imageFile = 7,
    imageRemoteNewer = 8,
    imageKept = 9,
};

// The state image of a tree node by its index (1 directory, 2 create directory,
// 3 upload, 4 refresh, 5 remove directory, 6 delete, 7 file, 8 remote newer, 9 kept); a
// null icon for any other.
QIcon StateIcon(int stateIndex);

// The image the window shows beside an entry for what the engine says of it (a
// TEntryMark); imageNone for none.
int StateImageOf(int mark, bool directory);

// The program's own icon, as the window and the desktop show it.
QIcon ProgramIcon();

// The padlock of the status bar: closed for an encrypted session, open for one that is not.
QIcon LockIcon(bool closed);

// A picture of the window: "version_strip", "info_sync" or "info_globe".
QPixmap Artwork(const char* name);

} // namespace pelmora::ui
