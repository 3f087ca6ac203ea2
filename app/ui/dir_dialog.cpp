#include "app/ui/dir_dialog.h"

#include "app/ui/artwork.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QStorageInfo>
#include <QVBoxLayout>

namespace pelmora::ui {

namespace {

constexpr int PathRole = Qt::UserRole;

bool IsUnder(const QString& path, const QString& root) {
    if (root == "/")
        return path.startsWith('/');
    return path == root || path.startsWith(root + '/');
}

// Kernel and runtime mounts are no place to keep a web site.
bool IsSystemMount(const QStorageInfo& volume) {
    const QString root = volume.rootPath();
    for (const char* system : {"/proc", "/sys", "/dev", "/run", "/boot", "/snap"})
        if (IsUnder(root, QString::fromLatin1(system)))
            return true;
    const QByteArray type = volume.fileSystemType();
    return type == "tmpfs" || type == "devtmpfs" || type == "squashfs" || type == "overlay";
}

} // namespace

TDirDialog::TDirDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Select Local Directory"));
    // The first dialog's size, and a row more for the path field.
    setFixedSize(384, 234);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);

    drives_ = new QComboBox(this);
    places_ = Places();
    for (const TPlace& p : places_)
        drives_->addItem(StateIcon(1), p.Title);
    grid->addWidget(drives_, 0, 0);

    list_ = new QListWidget(this);
    list_->setIconSize(QSize(16, 16));
    list_->setUniformItemSizes(true);
    grid->addWidget(list_, 1, 0, 2, 1);

    panel_ = new QLabel(this);
    panel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(panel_, 3, 0, 1, 2);

    path_ = new QLineEdit(this);
    path_->setObjectName("pathEdit");
    path_->setPlaceholderText(tr("Type or paste a path, then Enter"));
    path_->setAccessibleName(tr("Path"));
    path_->setClearButtonEnabled(true);
    // Enter goes to the path rather than pressing OK, the dialog's default button.
    path_->installEventFilter(this);
    grid->addWidget(path_, 4, 0);
    browse_ = new QPushButton(tr("&Browse..."), this);
    browse_->setObjectName("browseBtn");
    browse_->setAutoDefault(false);
    browse_->setToolTip(tr("Choose the directory in the desktop's own dialog"));
    grid->addWidget(browse_, 4, 1);
    BrowseForDirectory = [](QWidget* parent, const QString& start) {
        return QFileDialog::getExistingDirectory(parent, tr("Select Local Directory"), start);
    };

    auto* buttons = new QVBoxLayout;
    ok_ = new QPushButton(tr("OK"), this);
    ok_->setDefault(true);
    cancel_ = new QPushButton(tr("Cancel"), this);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addStretch(1);
    grid->addLayout(buttons, 0, 1, 3, 1);
    grid->setRowStretch(1, 1);
    grid->setColumnStretch(0, 1);

    connect(drives_, &QComboBox::activated, this, &TDirDialog::DriveComboBox1Change);
    connect(list_, &QListWidget::currentItemChanged, this, [this] { DirectoryListBox1Change(); });
    connect(list_, &QListWidget::itemClicked, this, [this] { DirectoryListBox1Change(); });
    connect(list_, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { SetDirectory(item->data(PathRole).toString()); });
    connect(browse_, &QPushButton::clicked, this, &TDirDialog::Browse);
    // Both buttons empty the panel and the field first, so the next opening starts from
    // the list. A path typed and not yet gone to is what OK takes.
    connect(ok_, &QPushButton::clicked, this, [this] {
        if (!path_->text().trimmed().isEmpty() && !GoToTypedPath())
            return;
        panel_->clear();
        path_->clear();
        accept();
    });
    connect(cancel_, &QPushButton::clicked, this, [this] {
        panel_->clear();
        path_->clear();
        reject();
    });
}

std::vector<TDirDialog::TPlace> TDirDialog::Places() {
    std::vector<TPlace> places;
    const QString home = QDir::homePath();
    places.push_back({tr("Home (%1)").arg(home), home});
    places.push_back({tr("File system (/)"), QStringLiteral("/")});
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        const QString root = volume.rootPath();
        if (!volume.isValid() || !volume.isReady() || IsSystemMount(volume) ||
            !QFileInfo(root).isDir() || root == "/" || root == home)
            continue;
        const QString name = volume.displayName();
        places.push_back({name == root ? root : tr("%1 (%2)").arg(name, root), root});
    }
    return places;
}

int TDirDialog::PlaceOf(const QString& path) const {
    int best = -1;
    for (size_t i = 0; i < places_.size(); ++i)
        if (IsUnder(path, places_[i].Root) &&
            (best < 0 || places_[i].Root.size() > places_[static_cast<size_t>(best)].Root.size()))
            best = static_cast<int>(i);
    return best;
}

void TDirDialog::DriveComboBox1Change(int index) {
    if (index >= 0 && index < static_cast<int>(places_.size()))
        SetDirectory(places_[static_cast<size_t>(index)].Root);
}

void TDirDialog::DirectoryListBox1Change() {
    if (filling_)
        return;
    if (QListWidgetItem* item = list_->currentItem())
        directory_ = item->data(PathRole).toString();
    panel_->setText(directory_);
}

void TDirDialog::SetDirectory(const QString& path) {
    QString clean = QDir::cleanPath(QDir(path).absolutePath());
    if (path.isEmpty() || !QFileInfo(clean).isDir())
        clean = QDir::homePath();
    directory_ = clean;
    const int place = PlaceOf(directory_);
    if (place >= 0)
        drives_->setCurrentIndex(place);
    Fill();
    panel_->setText(directory_);
}

void TDirDialog::Fill() {
    filling_ = true;
    list_->clear();
    const int place = PlaceOf(directory_);
    const QString root = place >= 0 ? places_[static_cast<size_t>(place)].Root : "/";
    const QIcon icon = StateIcon(1);
    auto add = [&](const QString& text, const QString& path, int depth) {
        auto* item = new QListWidgetItem(icon, QString(depth * 3, ' ') + text, list_);
        item->setData(PathRole, path);
        item->setToolTip(path);
        return item;
    };
    // The way down from the place's root to the current directory, one line each.
    QListWidgetItem* current = add(root, root, 0);
    int depth = 0;
    QString path = root;
    const QString rest = directory_.mid(root.size());
    for (const QString& part : rest.split('/', Qt::SkipEmptyParts)) {
        path = path.endsWith('/') ? path + part : path + '/' + part;
        current = add(part, path, ++depth);
    }
    const QStringList children =
        QDir(directory_)
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& child : children)
        add(child, QDir(directory_).filePath(child), depth + 1);
    list_->setCurrentItem(current);
    list_->scrollToItem(current);
    filling_ = false;
}

bool TDirDialog::GoToTypedPath() {
    QString typed = path_->text().trimmed();
    if (typed == "~" || typed.startsWith("~/"))
        typed = QDir::homePath() + typed.mid(1);
    if (!QDir::isAbsolutePath(typed)) {
        panel_->setText(tr("Give the whole path, from /: %1").arg(path_->text().trimmed()));
        return false;
    }
    if (!QFileInfo(typed).isDir()) {
        panel_->setText(tr("No such directory: %1").arg(path_->text().trimmed()));
        return false;
    }
    SetDirectory(typed);
    path_->clear();
    return true;
}

void TDirDialog::Browse() {
    if (!BrowseForDirectory)
        return;
    const QString chosen = BrowseForDirectory(this, directory_);
    if (!chosen.isEmpty())
        SetDirectory(chosen);
}

bool TDirDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == path_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            GoToTypedPath();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

int TDirDialog::Execute(std::string& chosen) {
    SetDirectory(QString::fromStdString(chosen));
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
    if (exec() != QDialog::Accepted)
        return 2;
    chosen = directory_.toStdString();
    return 1;
}

} // namespace pelmora::ui
