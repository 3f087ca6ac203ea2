#include "app/ui/artwork.h"

#include "sync/detail.h"

#include <QCoreApplication>
#include <QString>

#include <array>

// The resource file lives in a static library, so nothing would pull it in by itself.
static void LoadArtResources() {
    Q_INIT_RESOURCE(art);
}

namespace pelmora::ui {

namespace {

void EnsureResources() {
    static const bool loaded = (LoadArtResources(), true);
    (void)loaded;
}

// Built once per application: the trees ask for an icon every time they paint a row.
// Dropped with the application, while the pixmaps can still be freed cleanly.
std::array<QIcon, 10>* iconCache = nullptr;

void DropIcons() {
    delete iconCache;
    iconCache = nullptr;
}

} // namespace

int StateImageOf(int mark, bool directory) {
    switch (mark) {
    case markDirectory:
        return imageDirectory;
    case markFile:
        return imageFile;
    case markCreate:
        return imageCreateDir;
    case markUpload:
        return imageUpload;
    case markRefresh:
        return imageRefresh;
    case markSame:
        return imageRemoteNewer;
    case markDelete:
        // A directory the update removes: the directory with the delete mark.
        return directory ? imageRemoveDir : imageDelete;
    case markKept:
        return imageKept;
    default:
        return imageNone;
    }
}

QIcon StateIcon(int stateIndex) {
    if (stateIndex < 0 || stateIndex >= 10)
        return {};
    if (!iconCache) {
        EnsureResources();
        iconCache = new std::array<QIcon, 10>;
        // Drawn as SVG, so they stay sharp at any scale factor.
        for (int i : {1, 2, 3, 4, 5, 6, 7, 8, 9})
            (*iconCache)[static_cast<size_t>(i)] = QIcon(QString(":/art/state_%1.svg").arg(i));
        qAddPostRoutine(DropIcons);
    }
    return (*iconCache)[static_cast<size_t>(stateIndex)];
}

QIcon ProgramIcon() {
    EnsureResources();
    return QIcon(":/art/pelmora.svg");
}

QIcon LockIcon(bool closed) {
    EnsureResources();
    return QIcon(closed ? ":/art/lock_closed.svg" : ":/art/lock_open.svg");
}

QPixmap Artwork(const char* name) {
    EnsureResources();
    return QPixmap(QString(":/art/art/%1.png").arg(QString::fromLatin1(name)));
}

} // namespace pelmora::ui
