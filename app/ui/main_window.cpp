#include "app/ui/main_window.h"

#include "app/main_form.h"
#include "app/ui/control_binding.h"
#include "app/ui/tree_adapter.h"
#include "toolkit/profile.h"
#include "toolkit/services.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

namespace pelmora::ui {

namespace {

QIcon StateIcon(int stateIndex) {
    QStyle* style = QApplication::style();
    switch (stateIndex) {
    case 1:
        return style->standardIcon(QStyle::SP_DirIcon);
    case 7:
        return style->standardIcon(QStyle::SP_FileIcon);
    case 2:
        return style->standardIcon(QStyle::SP_FileDialogNewFolder);
    case 3:
        return style->standardIcon(QStyle::SP_ArrowUp);
    case 4:
        return style->standardIcon(QStyle::SP_BrowserReload);
    case 6:
        return style->standardIcon(QStyle::SP_TrashIcon);
    case 8:
        return style->standardIcon(QStyle::SP_DialogApplyButton);
    default:
        return {};
    }
}

QPushButton* Button(TButton& model, QWidget* parent, std::function<void()> onClick) {
    auto* b = new QPushButton(parent);
    Bind(model, b);
    QObject::connect(b, &QPushButton::clicked, [onClick = std::move(onClick)] { onClick(); });
    return b;
}

} // namespace

TMainWindow::TMainWindow(TForm1& form, QWidget* parent) : QMainWindow(parent), form_(form) {
    setWindowTitle(QString::fromStdString(form_.Caption));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);
    auto* trees = new QWidget(central);
    BuildTrees(trees);
    layout->addWidget(trees, 1);
    auto* notebook = new QTabWidget(central);
    notebook->setTabPosition(QTabWidget::South);
    notebook->addTab(BuildTransferPage(), tr("Transfer"));
    layout->addWidget(notebook);
    setCentralWidget(central);

    form_.DirDialog = [this](std::string& chosen) {
        const QString dir = QFileDialog::getExistingDirectory(
            this, tr("Select Local Directory"), QString::fromStdString(form_.Label5.Caption()));
        if (dir.isEmpty())
            return 2;
        chosen = dir.toStdString();
        return 1;
    };
    Services().ShowMessage = [this](const std::string& text) {
        QMessageBox::information(this, windowTitle(), QString::fromStdString(text));
    };
    Services().SetHourglass = [](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    };
    ApplyGeometry();
}

TMainWindow::~TMainWindow() {
    form_.DirDialog = nullptr;
    Services().ShowMessage = nullptr;
    Services().SetHourglass = nullptr;
}

void TMainWindow::BuildTrees(QWidget* area) {
    auto* grid = new QGridLayout(area);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(new QLabel(tr("Local Directory:"), area), 0, 0);
    grid->addWidget(new QLabel(tr("Remote Directory:"), area), 0, 1);

    localView_ = new QTreeView(area);
    localModel_ = new TTreeAdapter(form_.localTree, StateIcon, localView_);
    remoteView_ = new QTreeView(area);
    remoteModel_ = new TTreeAdapter(form_.remoteTree, StateIcon, remoteView_);
    for (QTreeView* view : {localView_, remoteView_}) {
        view->setHeaderHidden(true);
        view->setUniformRowHeights(true);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    }
    localView_->setModel(localModel_);
    remoteView_->setModel(remoteModel_);
    for (auto [view, model] : {std::pair{localView_, localModel_}, {remoteView_, remoteModel_}})
        connect(model, &TTreeAdapter::MakeVisibleRequested, view,
                [view](const QModelIndex& i) { view->scrollTo(i); });
    grid->addWidget(localView_, 1, 0);
    grid->addWidget(remoteView_, 1, 1);

    auto* localRow = new QHBoxLayout;
    auto* panel = new QLabel(area);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bind(form_.Label5, panel);
    localRow->addWidget(panel, 1);
    localRow->addWidget(Button(form_.Button4, area, [this] { form_.Button4Click(); }));
    grid->addLayout(localRow, 2, 0);

    auto* remoteRow = new QHBoxLayout;
    auto* edit = new QLineEdit(area);
    Bind(form_.Edit4, edit);
    remoteRow->addWidget(edit, 1);
    remoteRow->addWidget(Button(form_.changeRemoteBtn, area, [] {}));
    grid->addLayout(remoteRow, 2, 1);
}

QWidget* TMainWindow::BuildTransferPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button(form_.connectBtn, page, [] {}));
    buttons->addWidget(Button(form_.compareBtn, page, [] {}));
    buttons->addWidget(Button(form_.updateBtn, page, [] {}));
    buttons->addWidget(Button(form_.stopLoadBtn, page, [this] { form_.Button5Click(); }));
    grid->addLayout(buttons, 0, 0, 1, 3);

    grid->addWidget(new QLabel(tr("Status:"), page), 1, 0);
    auto* status = new QLabel(page);
    status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bind(form_.Panel1, status);
    grid->addWidget(status, 1, 1, 1, 2);

    auto* progressLabel = new QLabel(page);
    Bind(form_.progressLbl, progressLabel);
    grid->addWidget(progressLabel, 2, 0);
    auto* bar = new QProgressBar(page);
    bar->setTextVisible(false);
    Bind(form_.ProgressBar1, bar);
    grid->addWidget(bar, 2, 1);
    auto* percent = new QLabel(page);
    Bind(form_.Label15, percent);
    grid->addWidget(percent, 2, 2);
    auto* overall = new QProgressBar(page);
    overall->setTextVisible(false);
    overall->setMaximumHeight(8);
    Bind(form_.ProgressBar2, overall);
    grid->addWidget(overall, 3, 1);
    return page;
}

void TMainWindow::ApplyGeometry() {
    const TWindowGeometry& g = form_.Geometry;
    resize(g.Width, g.Height);
    move(g.Left, g.Top);
}

void TMainWindow::StoreGeometry() {
    form_.Geometry = {width(), height(), y(), x()};
}

void TMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (activated_)
        return;
    activated_ = true;
    // The start-up scan runs once the window is on screen, so it can show its progress.
    QTimer::singleShot(0, this, [this] { form_.FormActivate(); });
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    StoreGeometry();
    try {
        form_.FormClose();
    } catch (const EProfileError& e) {
        QMessageBox::warning(this, windowTitle(), QString::fromUtf8(e.what()));
    }
    event->accept();
}

int RunWindow(const std::string& settingsFile) {
    TForm1 form;
    form.FormCreate(settingsFile);
    int result = 0;
    {
        TMainWindow window(form);
        window.show();
        result = QApplication::exec();
    }
    return result;
}

} // namespace pelmora::ui
