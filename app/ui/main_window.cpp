#include "app/ui/main_window.h"

#include "app/command_line.h"
#include "app/main_form.h"
#include "app/password_store.h"
#include "app/ui/artwork.h"
#include "app/ui/certificate_dialog.h"
#include "app/ui/control_binding.h"
#include "app/ui/dir_dialog.h"
#include "app/ui/tree_adapter.h"
#include "app/ui/tree_sort.h"
#include "sync/detail.h"
#include "toolkit/date_time.h"
#include "toolkit/profile.h"
#include "toolkit/services.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QDateTime>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTime>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <exception>

namespace pelmora::ui {

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* Caption(const QString& text, QWidget* parent, const char* name = "") {
    return Named(new QLabel(text, parent), name);
}

QLabel* ModelLabel(TCaptionControl& model, QWidget* parent, const char* name) {
    auto* label = Named(new QLabel(parent), name);
    Bind(model, label);
    return label;
}

QLabel* SunkenPanel(QWidget* parent, const char* name) {
    auto* panel = Named(new QLabel(parent), name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setMinimumWidth(40);
    panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return panel;
}

QPushButton* Button(TButton& model, QWidget* parent, const char* name,
                    std::function<void()> onClick) {
    auto* b = Named(new QPushButton(parent), name);
    Bind(model, b);
    QObject::connect(b, &QPushButton::clicked, [onClick = std::move(onClick)] {
        // Qt's event loop cannot pass an exception on: it would end the program with
        // whatever the operation was doing. The operation's scope has unwound by here.
        try {
            onClick();
        } catch (const std::exception& e) {
            ShowMessage(e.what());
        }
    });
    return b;
}

QLineEdit* Edit(TEdit& model, QWidget* parent, const char* name) {
    auto* e = Named(new QLineEdit(parent), name);
    Bind(model, e);
    return e;
}

QSpinBox* Spin(TSpinEdit& model, QWidget* parent, const char* name) {
    auto* s = Named(new QSpinBox(parent), name);
    Bind(model, s);
    // As wide as its largest number, not as the column: a port stretched across half a
    // wide window reads as a text field.
    s->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return s;
}

QCheckBox* Check(TCheckBox& model, QWidget* parent, const char* name) {
    auto* c = Named(new QCheckBox(parent), name);
    Bind(model, c);
    return c;
}

QLabel* Picture(const QPixmap& pixmap, QWidget* parent, const char* name) {
    auto* l = Named(new QLabel(parent), name);
    l->setPixmap(pixmap);
    return l;
}

// The locale's long time form without the time zone: an entry's time is the wall-clock
// time of the machine it came from, not a moment in a zone of ours.
QString LongTimeFormat(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (QChar c : format) {
        if (c == '\'')
            quoted = !quoted;
        if (!quoted && c == 't')
            continue;
        result += c;
    }
    return result.trimmed();
}

} // namespace

TMainWindow::TMainWindow(TForm1& form, QWidget* parent) : QMainWindow(parent), form_(form) {
    setWindowTitle(QString::fromStdString(form_.Caption));
    setWindowIcon(ProgramIcon());
    auto* central = new QWidget(this);
    auto* row = new QHBoxLayout(central);
    row->setContentsMargins(0, 0, 4, 2);
    row->setSpacing(4);
    row->addWidget(BuildVersionStrip());
    auto* column = new QVBoxLayout;
    column->setContentsMargins(0, 4, 0, 0);
    column->setSpacing(4);
    column->addWidget(BuildTrees(), 1);
    column->addWidget(BuildNotebook());
    column->addWidget(BuildDebugPane());
    row->addLayout(column, 1);
    setCentralWidget(central);
    // What the last update did, below everything and whatever page is shown, until the
    // next update: the status line moves on with every step.
    auto* summary = Named(new QLabel(statusBar()), "summaryLbl");
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Bind(form_.summaryLbl, summary);
    statusBar()->addWidget(summary, 1);
    AddSecurityState();
    statusBar()->setSizeGripEnabled(true);
    // Created once and kept, like the window.
    dirDialog_ = Named(new TDirDialog(this), "dirDialog");
    AnswerForm();
    InstallServices();
    InstallShortcuts();
    NameControls();
    ApplyGeometry();
}

// At the right of the status bar, while connected: a padlock and how the session travels.
void TMainWindow::AddSecurityState() {
    auto* icon = Named(new QLabel(statusBar()), "securityIcon");
    auto* words = Named(new QLabel(statusBar()), "securityLbl");
    const QString tip = tr("How the password and the files travel to the server; the Log page "
                           "says why when they are not encrypted");
    icon->setToolTip(tip);
    words->setToolTip(tip);
    statusBar()->addPermanentWidget(icon);
    statusBar()->addPermanentWidget(words);
    QPointer<QLabel> iconGuard(icon), wordsGuard(words);
    const auto show = [this, iconGuard, wordsGuard] {
        if (!iconGuard || !wordsGuard)
            return;
        const QString text = QString::fromStdString(form_.securityLbl.Caption());
        wordsGuard->setText(text);
        iconGuard->setPixmap(text.isEmpty() ? QPixmap()
                                            : LockIcon(form_.SessionSecured()).pixmap(16, 16));
        iconGuard->setVisible(!text.isEmpty());
        wordsGuard->setVisible(!text.isEmpty());
    };
    show();
    form_.securityLbl.Subscribe(show);
}

// What the form asks of the desktop: the local directory, the locale's dates, the
// questions before deletes and about a certificate, the window's close.
void TMainWindow::AnswerForm() {
    form_.DirDialog = [this](std::string& chosen) {
        chosen = form_.localRootLabel.Caption();
        return dirDialog_->Execute(chosen);
    };
    form_.FormatDate = [](TDateTime value) {
        const TDateParts d = DecodeDate(value);
        return QLocale().toString(QDate(d.Year, d.Month, d.Day), "dddd, dd MMM yyyy").toStdString();
    };
    form_.FormatStamp = [](TDateTime value) {
        const TDateParts d = DecodeDate(value);
        const TTimeParts t = DecodeTime(value);
        return QLocale()
            .toString(QDateTime(QDate(d.Year, d.Month, d.Day), QTime(t.Hour, t.Minute, t.Second)),
                      QLocale::ShortFormat)
            .toStdString();
    };
    form_.FormatTime = [](TDateTime value) {
        const TTimeParts t = DecodeTime(value);
        const QLocale locale;
        return locale.toString(QTime(t.Hour, t.Minute, t.Second), LongTimeFormat(locale))
            .toStdString();
    };
    form_.ConfirmDeletes = [this](const std::string& counts,
                                  const std::vector<std::string>& lines) {
        return ConfirmDeletes(counts, lines);
    };
    form_.TrustCertificate = [this](const TCertificateRefusal& refusal) {
        return AskTrustCertificate(refusal, this);
    };
    // "Exit pelmora when complete" closes through the window, so the settings are saved.
    form_.CloseWindow = [this] { close(); };
    form_.ReadGeometry = [this] { StoreGeometry(); };
}

// What a screen reader says for the controls whose own text does not name them.
void TMainWindow::NameControls() {
    const std::pair<const char*, const char*> names[] = {
        {"serverEdit", "FTP server"},
        {"userEdit", "User name"},
        {"passwordEdit", "Password"},
        {"ftpPortSpin", "Port"},
        {"timeOutSpin", "Command timeout in seconds"},
        {"connectionsSpin", "Connections at once"},
        {"dataModeCombo", "Data connections"},
        {"tlsCombo", "TLS"},
        {"trustedCertificateEdit", "Trusted certificate"},
        {"siteCombo", "Site"},
        {"firewallEdit", "Firewall server"},
        {"firewallSpin", "Firewall port"},
        {"remoteRootEdit", "Remote directory"},
        {"localRootLabel", "Local directory"},
        {"statusPanel", "Status"},
        {"stepBar", "Progress of the current step"},
        {"overallBar", "Overall progress"},
        {"TabSet1", "Pages"},
    };
    for (const auto& [object, name] : names)
        if (auto* w = findChild<QWidget*>(QString::fromLatin1(object)))
            w->setAccessibleName(tr(name));
}

bool TMainWindow::ConfirmDeletes(const std::string& counts, const std::vector<std::string>& lines) {
    QMessageBox box(
        QMessageBox::Warning, windowTitle(),
        tr("This update deletes on the server.\n\n%1.").arg(QString::fromStdString(counts)),
        QMessageBox::Cancel, this);
    box.setObjectName("confirmDeletes");
    QPushButton* go = box.addButton(tr("&Update"), QMessageBox::AcceptRole);
    go->setObjectName("confirmUpdate");
    box.setDefaultButton(QMessageBox::Cancel);
    QString list;
    for (const std::string& line : lines)
        list += QString::fromStdString(line) + '\n';
    box.setDetailedText(list); // the steps, one a line, behind "Show Details..."
    box.exec();
    return box.clickedButton() == go;
}

void TMainWindow::InstallShortcuts() {
    auto* refresh = Named(new QShortcut(QKeySequence(Qt::Key_F5), this), "refreshShortcut");
    connect(refresh, &QShortcut::activated, this, [this] {
        // As a press of Refresh, so it is refused whenever the button is.
        if (form_.refreshBtn.Enabled())
            form_.refreshBtnClick();
    });
    auto* quit = Named(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this), "quitShortcut");
    connect(quit, &QShortcut::activated, this, &QWidget::close);
    // An Alt+letter whose button is disabled or not shown matches no shortcut and goes on
    // to the field with the focus, which would take the letter as typed: "/gui" in the
    // Remote Directory field became "/guicc", broke the next connect and was saved.
    for (QLineEdit* field : findChildren<QLineEdit*>())
        field->installEventFilter(this);
}

bool TMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        const Qt::KeyboardModifiers modifiers = key->modifiers();
        // Ctrl+Alt is AltGr on some keyboards, which types characters of its own.
        if ((modifiers & Qt::AltModifier) &&
            !(modifiers & (Qt::ControlModifier | Qt::MetaModifier)) && !key->text().isEmpty() &&
            key->text().at(0).isPrint())
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

TMainWindow::~TMainWindow() {
    form_.DirDialog = nullptr;
    form_.CloseWindow = nullptr;
    form_.ReadGeometry = nullptr;
    form_.ConfirmDeletes = nullptr;
    form_.AskSiteName = nullptr;
    form_.ConfirmSiteDelete = nullptr;
    form_.TrustCertificate = nullptr;
    form_.FormatDate = nullptr;
    form_.FormatTime = nullptr;
    form_.FormatStamp = nullptr;
    Services().ShowMessage = nullptr;
    Services().SetHourglass = nullptr;
}

void TMainWindow::InstallServices() {
    Services().ShowMessage = [this](const std::string& text) {
        QMessageBox::information(this, windowTitle(), QString::fromStdString(text));
    };
    Services().SetHourglass = [](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    };
}

QWidget* TMainWindow::BuildVersionStrip() {
    auto* strip = Picture(Artwork("version_strip"), nullptr, "Image8");
    strip->setFixedWidth(40);
    strip->setScaledContents(true);
    strip->setMinimumHeight(0);
    strip->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
    auto* layout = new QVBoxLayout(strip);
    layout->setContentsMargins(0, 8, 0, 0);
    layout->setSpacing(0);
    for (auto [text, name, bold] :
         {std::tuple{"Version", "Label2", false}, {"1.1c", "Label3", true}}) {
        auto* label = Caption(tr(text), strip, name);
        label->setAlignment(Qt::AlignHCenter);
        QFont font = label->font();
        font.setPointSizeF(font.pointSizeF() * 0.8);
        font.setBold(bold);
        label->setFont(font);
        label->setStyleSheet("color: white; background: transparent;");
        layout->addWidget(label);
    }
    layout->addStretch(1);
    return strip;
}

QModelIndex TMainWindow::ViewIndexOf(int tag, int node) const {
    const TTreeAdapter* model = tag == 1 ? localModel_ : remoteModel_;
    const TTreeSortProxy* proxy = tag == 1 ? localProxy_ : remoteProxy_;
    return proxy->mapFromSource(model->IndexOfNode(node));
}

void TMainWindow::SetChangesOnly(bool changesOnly) {
    for (TTreeSortProxy* proxy : {localProxy_, remoteProxy_})
        proxy->SetChangesOnly(changesOnly);
}

void TMainWindow::WireTree(QTreeView* view, int tag) {
    TTreeModel& tree = tag == 1 ? form_.engine.localTree : form_.engine.remoteTree;
    TTreeSortProxy* proxy = tag == 1 ? localProxy_ : remoteProxy_;
    // The model learns of the selection before the handler reads it.
    connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this, &tree, view, tag, proxy](const QModelIndex& current) {
                tree.SetSelected(TTreeAdapter::NodeOf(proxy->mapToSource(current)));
                // Moving through the tree with the keys describes each entry as well.
                if (view->hasFocus() && QApplication::mouseButtons() == Qt::NoButton)
                    form_.localTreeClick(tag);
            });
    connect(view, &QTreeView::clicked, this, [this, &tree, view, tag, proxy] {
        tree.SetSelected(TTreeAdapter::NodeOf(proxy->mapToSource(view->currentIndex())));
        form_.localTreeClick(tag);
    });
    connect(tag == 1 ? localModel_ : remoteModel_, &TTreeAdapter::MakeVisibleRequested, view,
            [this, view, proxy](const QModelIndex& i) {
                // The remote load shows each entry as it arrives, which would leave that
                // tree opened all the way down while the local one stays folded: both
                // trees open the same way, as the user opens them.
                if (form_.engine.remoteLoading)
                    return;
                view->scrollTo(proxy->mapFromSource(i));
            });
}

QWidget* TMainWindow::BuildTrees() {
    auto* area = new QWidget;
    auto* grid = new QGridLayout(area);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(2);
    grid->addWidget(Caption(tr("Local Directory:"), area, "Label11"), 0, 0);
    auto* remoteHead = new QHBoxLayout;
    remoteHead->addWidget(Caption(tr("Remote Directory:"), area, "Label17"));
    auto* serverType = ModelLabel(form_.servTypeLbl, area, "servTypeLbl");
    serverType->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont small = serverType->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    serverType->setFont(small);
    remoteHead->addWidget(serverType, 1);
    grid->addLayout(remoteHead, 0, 1);

    localView_ = Named(new QTreeView(area), "localTree");
    localModel_ = new TTreeAdapter(form_.engine.localTree, StateIcon, localView_);
    remoteView_ = Named(new QTreeView(area), "remoteTree");
    remoteModel_ = new TTreeAdapter(form_.engine.remoteTree, StateIcon, remoteView_);
    localView_->setAccessibleName(tr("Local files"));
    remoteView_->setAccessibleName(tr("Remote files"));
    const auto factsFrom = [](const TStringList& list) {
        return [&list](int node) -> std::optional<TTreeAdapter::TNodeFacts> {
            if (node < 0 || node >= list.Count())
                return std::nullopt;
            const auto* entry = dynamic_cast<const TDetail*>(list.Objects(node));
            if (!entry)
                return std::nullopt;
            TTreeAdapter::TNodeFacts facts;
            facts.directory = entry->kind == kindDirectory;
            facts.size = entry->size;
            if (entry->date != 0.0)
                facts.modified = entry->date;
            return facts;
        };
    };
    localModel_->SetFacts(factsFrom(form_.engine.localList));
    remoteModel_->SetFacts(factsFrom(form_.engine.remoteList));
    localProxy_ = new TTreeSortProxy(localView_);
    localProxy_->setSourceModel(localModel_);
    remoteProxy_ = new TTreeSortProxy(remoteView_);
    remoteProxy_->setSourceModel(remoteModel_);
    localView_->setModel(localProxy_);
    remoteView_->setModel(remoteProxy_);
    for (QTreeView* view : {localView_, remoteView_})
        ShapeTreeView(view);
    WireTree(localView_, 1);
    WireTree(remoteView_, 2);
    grid->addWidget(localView_, 1, 0);
    grid->addWidget(remoteView_, 1, 1);
    AddRootRows(grid, area);
    grid->setRowStretch(1, 1);
    return area;
}

void TMainWindow::ShapeTreeView(QTreeView* view) {
    view->setUniformRowHeights(true);
    view->setSortingEnabled(false); // the proxy keeps its one order
    view->setAllColumnsShowFocus(true);
    QHeaderView* header = view->header();
    // The names keep a width of their own (the user may drag it): a narrow window
    // scrolls sideways rather than hide them. Measuring every name of a large tree
    // on each publication would slow its load down.
    header->setStretchLastSection(true);
    header->setSectionResizeMode(TTreeAdapter::NameColumn, QHeaderView::Interactive);
    header->resizeSection(TTreeAdapter::NameColumn, 170);
    for (int c : {TTreeAdapter::SizeColumn, TTreeAdapter::ModifiedColumn})
        header->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setIconSize(QSize(16, 16));
    view->setMinimumHeight(60);
}

// Under the trees: the local root with Change, the remote root with Refresh.
void TMainWindow::AddRootRows(QGridLayout* grid, QWidget* area) {
    auto* localRow = new QHBoxLayout;
    auto* panel = SunkenPanel(area, "localRootLabel");
    Bind(form_.localRootLabel, panel);
    localRow->addWidget(panel, 1);
    localRow->addWidget(Button(form_.changeLocalBtn, area, "changeLocalBtn",
                               [this] { form_.changeLocalBtnClick(); }));
    grid->addLayout(localRow, 2, 0);

    auto* remoteRow = new QHBoxLayout;
    remoteRow->addWidget(Edit(form_.remoteRootEdit, area, "remoteRootEdit"), 1);
    remoteRow->addWidget(
        Button(form_.refreshBtn, area, "refreshBtn", [this] { form_.refreshBtnClick(); }));
    grid->addLayout(remoteRow, 2, 1);
}

QWidget* TMainWindow::BuildNotebook() {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    notebook_ = Named(new QStackedWidget(box), "Notebook1");
    notebook_->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    const std::pair<QWidget*, const char*> pages[] = {{BuildTransferPage(), "transfer"},
                                                      {BuildDetailsPage(), "Details"},
                                                      {BuildSetupPage(), "Setup"},
                                                      {BuildOptionsPage(), "Options"},
                                                      {BuildLegendPage(), "Legend"},
                                                      {BuildInfoPage(), "Info"},
                                                      {BuildLogPage(), "Log"}};
    for (auto [page, name] : pages)
        notebook_->addWidget(Named(page, name));
    // The Setup page's rows, the tallest page, set the height.
    notebook_->setFixedHeight(172);
    layout->addWidget(notebook_);

    tabSet_ = Named(new QTabBar(box), "TabSet1");
    tabSet_->setShape(QTabBar::RoundedSouth);
    tabSet_->setDrawBase(false);
    tabSet_->setExpanding(false);
    // The Alt keys of the pages; the buttons keep clear of these letters.
    for (const char* tab :
         {"&Transfer", "D&etails", "Setu&p", "&Options", "&Legend", "&Info", "Lo&g"})
        tabSet_->addTab(tr(tab));
    connect(tabSet_, &QTabBar::currentChanged, this, &TMainWindow::TabSet1Change);
    layout->addWidget(tabSet_);
    return box;
}

void TMainWindow::TabSet1Change(int newTab) {
    if (newTab < 0 || newTab >= notebook_->count())
        return;
    // What was typed on the Setup page is kept as soon as the user turns to other work.
    if (notebook_->currentIndex() == SetupPage && newTab != SetupPage)
        form_.SaveChangedSettings();
    notebook_->setCurrentIndex(newTab);
    form_.NotebookPage = newTab;
}

QWidget* TMainWindow::BuildTransferPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(3);
    grid->addLayout(BuildTransferButtons(page), 0, 0, 1, 4);
    grid->addWidget(Caption(tr("Status:"), page, "Label26"), 1, 0);
    auto* status = SunkenPanel(page, "statusPanel");
    BindThrottled(form_.statusPanel, status, RepaintIntervalMs);
    grid->addWidget(status, 1, 1, 1, 3);
    AddProgressRows(grid, page);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(6, 1);
    return page;
}

QHBoxLayout* TMainWindow::BuildTransferButtons(QWidget* page) {
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(
        Button(form_.connectBtn, page, "connectBtn", [this] { form_.connectBtnClick(); }));
    buttons->addWidget(
        Button(form_.compareBtn, page, "compareBtn", [this] { form_.compareBtnClick(); }));
    buttons->addWidget(
        Button(form_.updateBtn, page, "updateBtn", [this] { form_.updateBtnClick(); }));
    buttons->addWidget(Button(form_.stopBtn, page, "stopBtn", [this] { form_.stopBtnClick(); }));
    const std::pair<const char*, const char*> tips[] = {
        {"connectBtn", "Connect to the server, then load, compare and update as the Options "
                       "page says; pressed again, disconnect"},
        {"compareBtn", "Read the local directory again and compare it with the server's: the "
                       "trees then show what an update would do"},
        {"updateBtn", "Bring the server in step with the local directory: upload, refresh, "
                      "create and delete as the trees show"},
        {"stopBtn", "Stop what is running (a connect, load, compare or update) at its next step"}};
    for (const auto& [name, tip] : tips)
        page->findChild<QPushButton*>(QString::fromLatin1(name))->setToolTip(tr(tip));
    buttons->addStretch(1);
    auto* changesOnly = Named(new QCheckBox(tr("Changes onl&y"), page), "changesOnlyCheck");
    changesOnly->setToolTip(tr("Show only what the update changes"));
    connect(changesOnly, &QCheckBox::toggled, this, &TMainWindow::SetChangesOnly);
    buttons->addWidget(changesOnly);
    return buttons;
}

void TMainWindow::AddProgressRows(QGridLayout* grid, QWidget* page) {
    // The whole run first, in bytes, then the file under way.
    grid->addWidget(ModelLabel(form_.progress.overallLbl, page, "overallLbl"), 2, 0);
    auto* overall = Named(new QProgressBar(page), "overallBar");
    overall->setTextVisible(false);
    overall->setMaximumHeight(14);
    BindThrottled(form_.progress.overallBar, overall, RepaintIntervalMs);
    grid->addWidget(overall, 2, 1, 1, 2);
    auto* figures = Named(new QLabel(page), "overallFigures");
    BindThrottled(form_.progress.overallFigures, figures, RepaintIntervalMs);
    grid->addWidget(figures, 2, 3);

    grid->addWidget(ModelLabel(form_.progress.progressLbl, page, "progressLbl"), 3, 0);
    auto* bar = Named(new QProgressBar(page), "stepBar");
    bar->setTextVisible(false);
    bar->setMaximumHeight(14);
    BindThrottled(form_.progress.stepBar, bar, RepaintIntervalMs);
    grid->addWidget(bar, 3, 1, 1, 2);
    auto* percent = Named(new QLabel(page), "stepPercentLabel");
    BindThrottled(form_.progress.stepPercentLabel, percent, RepaintIntervalMs);
    grid->addWidget(percent, 3, 3);

    grid->addWidget(ModelLabel(form_.progress.fileNameCaption, page, "fileNameCaption"), 4, 0);
    grid->addWidget(ModelLabel(form_.progress.fileNameLabel, page, "fileNameLabel"), 4, 1, 1, 3);
    grid->addWidget(ModelLabel(form_.progress.bytesSentCaption, page, "bytesSentCaption"), 5, 0);
    auto* sent = Named(new QLabel(page), "bytesSentLabel");
    BindThrottled(form_.progress.bytesSentLabel, sent, RepaintIntervalMs);
    grid->addWidget(sent, 5, 1);
    grid->addWidget(ModelLabel(form_.progress.fileSizeCaption, page, "fileSizeCaption"), 5, 2);
    grid->addWidget(ModelLabel(form_.progress.fileSizeLabel, page, "fileSizeLabel"), 5, 3);
}

QWidget* TMainWindow::BuildDetailsPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    const std::pair<const char*, std::pair<TLabel*, const char*>> rows[] = {
        {"Name:", {&form_.details.nameLbl, "nameLbl"}},
        {"Directory:", {&form_.details.dirLbl, "dirLbl"}},
        {"Date:", {&form_.details.dateLbl, "dateLbl"}},
        {"Time:", {&form_.details.timeLbl, "timeLbl"}},
        {"Type:", {&form_.details.typeLbl, "typeLbl"}},
        {"Action:", {&form_.details.actionLbl, "actionLbl"}}};
    int r = 0;
    for (const auto& [caption, value] : rows) {
        grid->addWidget(Caption(tr(caption), page), r, 0);
        auto* label = ModelLabel(*value.first, page, value.second);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(label, r++, 1);
    }
    // Both sides of the entry, one above the other so their figures line up, and the
    // compare's reason in words.
    auto* sides = new QGridLayout;
    sides->setVerticalSpacing(2);
    sides->setHorizontalSpacing(12);
    sides->addWidget(Caption(tr("Size"), page, "detailsSize"), 0, 1);
    sides->addWidget(Caption(tr("Modified"), page, "detailsModified"), 0, 2);
    const std::tuple<const char*, TLabel*, const char*, TLabel*, const char*> pairs[] = {
        {"Here:", &form_.details.localSizeLbl, "localSizeLbl", &form_.details.localTimeLbl,
         "localTimeLbl"},
        {"Server:", &form_.details.remoteSizeLbl, "remoteSizeLbl", &form_.details.remoteTimeLbl,
         "remoteTimeLbl"}};
    int s = 1;
    for (const auto& [caption, size, sizeName, time, timeName] : pairs) {
        sides->addWidget(Caption(tr(caption), page), s, 0);
        sides->addWidget(ModelLabel(*size, page, sizeName), s, 1);
        sides->addWidget(ModelLabel(*time, page, timeName), s++, 2);
    }
    sides->addWidget(Caption(tr("Verdict:"), page), s, 0);
    auto* verdict = ModelLabel(form_.details.verdictLbl, page, "verdictLbl");
    QFont bold = verdict->font();
    bold.setBold(true);
    verdict->setFont(bold);
    sides->addWidget(verdict, s++, 1, 1, 2);
    grid->addLayout(sides, 0, 2, 4, 1);
    auto* hint = Caption(tr("Click on either the local or remote directory listing to see details "
                            "about the file."),
                         page, "Label6");
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    grid->addWidget(hint, 4, 2, r - 4, 1);
    grid->setColumnStretch(1, 3);
    grid->setColumnStretch(2, 2);
    return page;
}

QWidget* TMainWindow::BuildSetupPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    AddSiteRow(grid, page);
    AddServerRows(grid, page);
    AddFirewallRows(grid, page);
    auto* message = ModelLabel(form_.setup.messageLbl, page, "setupMessageLbl");
    message->setWordWrap(true);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    grid->addWidget(message, 9, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(10, 1);
    return page;
}

// The site selector and its New, Rename and Delete.
void TMainWindow::AddSiteRow(QGridLayout* grid, QWidget* page) {
    auto* siteLabel = Caption(tr("&Site:"), page, "siteLabel");
    grid->addWidget(siteLabel, 0, 0);
    auto* sites = Named(new QComboBox(page), "siteCombo");
    // A long site name must not widen the window.
    sites->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    sites->setMinimumContentsLength(8);
    siteLabel->setBuddy(sites);
    BindSites(sites);
    grid->addWidget(sites, 0, 1);
    // Tool buttons: push buttons' least width would widen the window's first size.
    auto* siteButtons = new QHBoxLayout;
    const std::tuple<TButton*, const char*, std::function<void()>> buttons[] = {
        {&form_.setup.siteNewBtn, "siteNewBtn", [this] { form_.siteNewBtnClick(); }},
        {&form_.setup.siteRenameBtn, "siteRenameBtn", [this] { form_.siteRenameBtnClick(); }},
        {&form_.setup.siteDeleteBtn, "siteDeleteBtn", [this] { form_.siteDeleteBtnClick(); }}};
    for (const auto& [model, name, click] : buttons) {
        auto* b = Named(new QToolButton(page), name);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        Bind(*model, b);
        connect(b, &QToolButton::clicked, this, [run = click] {
            try {
                run();
            } catch (const std::exception& e) {
                ShowMessage(e.what());
            }
        });
        siteButtons->addWidget(b);
    }
    siteButtons->addStretch(1);
    grid->addLayout(siteButtons, 0, 2, 1, 2);
}

void TMainWindow::AddServerRows(QGridLayout* grid, QWidget* page) {
    grid->addWidget(Caption(tr("Server:"), page, "Label7"), 1, 0);
    grid->addWidget(Edit(form_.setup.serverEdit, page, "serverEdit"), 1, 1);
    grid->addWidget(Caption(tr("User Name:"), page, "Label8"), 2, 0);
    grid->addWidget(Edit(form_.setup.userEdit, page, "userEdit"), 2, 1);
    grid->addWidget(Caption(tr("Password:"), page, "Label10"), 3, 0);
    auto* password = Edit(form_.setup.passwordEdit, page, "passwordEdit");
    password->setEchoMode(QLineEdit::Password);
    // Every character as a star, whatever mark the style would pick.
    password->setStyleSheet("lineedit-password-character: 42;");
    grid->addWidget(password, 3, 1);
    grid->addWidget(Caption(tr("Port:"), page, "Label12"), 4, 0);
    grid->addWidget(Spin(form_.setup.ftpPortSpin, page, "ftpPortSpin"), 4, 1);
    grid->addWidget(Caption(tr("Command Timeout: (seconds)"), page, "Label14"), 5, 0);
    grid->addWidget(Spin(form_.timeOutSpin, page, "timeOutSpin"), 5, 1);
    grid->addWidget(Caption(tr("Data connections:"), page, "dataModeLabel"), 6, 0);
    auto* dataMode = Named(new QComboBox(page), "dataModeCombo");
    // Item texts are the setting's values.
    dataMode->addItems({"auto", "passive", "active"});
    dataMode->setToolTip(tr("auto: passive first, active when the server or the network "
                            "refuses it"));
    Bind(form_.setup.dataModeEdit, dataMode);
    grid->addWidget(dataMode, 6, 1);
    auto* tlsLabel = Caption(tr("TLS:"), page, "tlsLabel");
    grid->addWidget(tlsLabel, 6, 2);
    auto* tls = Named(new QComboBox(page), "tlsCombo");
    // Item texts are the setting's values.
    tls->addItems({"auto", "require", "off"});
    tls->setToolTip(tr("auto: encrypted when the server offers TLS, else in clear (never again in "
                       "clear once TLS has worked with this site)\nrequire: never send the login "
                       "or the files in clear\noff: never ask for TLS"));
    tlsLabel->setBuddy(tls);
    Bind(form_.setup.tlsEdit, tls);
    grid->addWidget(tls, 6, 3);
}

// Beside the server's rows: the firewall; below them: the keyring and the certificate.
void TMainWindow::AddFirewallRows(QGridLayout* grid, QWidget* page) {
    auto* hint = Caption(tr("You may have to use the IP address."), page, "Label41");
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    grid->addWidget(hint, 1, 2, 2, 2);
    grid->addWidget(Check(form_.setup.firewallCheck, page, "firewallCheck"), 3, 2, 1, 2);
    grid->addWidget(Caption(tr("Firewall:"), page, "Label16"), 4, 2);
    grid->addWidget(Edit(form_.setup.firewallEdit, page, "firewallEdit"), 4, 3);
    grid->addWidget(Caption(tr("Port:"), page, "Label18"), 5, 2);
    grid->addWidget(Spin(form_.setup.firewallSpin, page, "firewallSpin"), 5, 3);
    auto* keyring = Check(form_.setup.keyringCheck, page, "keyringCheck");
    keyring->setToolTip(tr("The settings file then keeps no password. Where the desktop has "
                           "no keyring, the password stays in the settings file."));
    // Under the fields it belongs to, as wide as they are: its words are long.
    grid->addWidget(keyring, 7, 1, 1, 3);
    grid->addWidget(Caption(tr("Trusted certificate:"), page, "trustedCertificateLabel"), 8, 0);
    auto* trusted = Edit(form_.setup.trustedCertificateEdit, page, "trustedCertificateEdit");
    trusted->setPlaceholderText(tr("none"));
    trusted->setToolTip(tr("The SHA-256 fingerprint of the one certificate trusted although it "
                           "could not be verified. Empty: none."));
    grid->addWidget(trusted, 8, 1, 1, 3);
}

// The selector follows the form's list of sites; a choice goes to the form, which may
// refuse it and show the site it keeps.
void TMainWindow::BindSites(QComboBox* combo) {
    TSiteChoice& model = form_.setup.siteCombo;
    QPointer<QComboBox> guard(combo);
    const auto show = [guard, &model] {
        if (!guard)
            return;
        const QSignalBlocker quiet(guard.data());
        guard->clear();
        for (const std::string& name : model.Items())
            guard->addItem(QString::fromStdString(name));
        guard->setCurrentIndex(guard->findText(QString::fromStdString(model.Current()),
                                               Qt::MatchFixedString | Qt::MatchCaseSensitive));
        guard->setEnabled(model.Enabled());
        guard->setVisible(model.Visible());
    };
    show();
    model.Subscribe(show);
    connect(combo, &QComboBox::activated, this, [this, combo](int index) {
        try {
            form_.siteComboChange(combo->itemText(index).toStdString());
        } catch (const std::exception& e) {
            ShowMessage(e.what());
        }
    });
    form_.AskSiteName = [this](const std::string& title, std::string& name) {
        QInputDialog dialog(this);
        dialog.setObjectName("siteNameDialog");
        dialog.setWindowTitle(tr(title.c_str()));
        dialog.setLabelText(tr("Site name:"));
        dialog.setTextValue(QString::fromStdString(name));
        if (dialog.exec() != QDialog::Accepted)
            return false;
        name = dialog.textValue().toStdString();
        return true;
    };
    form_.ConfirmSiteDelete = [this](const std::string& question) {
        QMessageBox box(QMessageBox::Question, windowTitle(), QString::fromStdString(question),
                        QMessageBox::Cancel, this);
        box.setObjectName("confirmSiteDelete");
        QPushButton* remove = box.addButton(tr("&Delete"), QMessageBox::DestructiveRole);
        remove->setObjectName("confirmSiteDeleteButton");
        box.setDefaultButton(QMessageBox::Cancel);
        box.exec();
        return box.clickedButton() == remove;
    };
}

QWidget* TMainWindow::BuildOptionsPage() {
    auto* page = new QWidget;
    auto* row = new QHBoxLayout(page);
    row->setContentsMargins(6, 4, 6, 4);
    auto* after = Named(new QGroupBox(tr("After connect:"), page), "GroupBox1");
    auto* afterLayout = new QVBoxLayout(after);
    afterLayout->setSpacing(0);
    afterLayout->addWidget(Check(form_.onConnect.loadOnConnectCheck, after, "loadOnConnectCheck"));
    afterLayout->addWidget(
        Check(form_.onConnect.compareOnConnectCheck, after, "compareOnConnectCheck"));
    afterLayout->addWidget(
        Check(form_.onConnect.updateOnConnectCheck, after, "updateOnConnectCheck"));
    afterLayout->addWidget(Check(form_.onConnect.exitWhenDoneCheck, after, "exitWhenDoneCheck"));
    row->addWidget(after, 1);
    auto* options = Named(new QGroupBox(tr("Options:"), page), "GroupBox2");
    auto* optionsLayout = new QVBoxLayout(options);
    optionsLayout->addWidget(Check(form_.deleteRemoteCheck, options, "deleteRemoteCheck"));
    auto* connections = new QHBoxLayout;
    connections->addWidget(Caption(tr("Connections at once:"), options, "connectionsLabel"));
    connections->addWidget(Spin(form_.connectionsSpin, options, "connectionsSpin"));
    connections->addStretch(1);
    optionsLayout->addLayout(connections);
    optionsLayout->addStretch(1);
    row->addWidget(options, 1);
    return page;
}

QWidget* TMainWindow::BuildLegendPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    auto* text = Caption(tr(" When the files and directories are analysed, these icons are placed "
                            "next to each entry.  They represent the action to be performed on "
                            "the remote files and directories."),
                         page, "Label34");
    text->setWordWrap(true);
    grid->addWidget(text, 0, 0, 1, 4);
    auto icon = [page](int stateIndex, const char* name) {
        return Picture(StateIcon(stateIndex).pixmap(16, 16), page, name);
    };
    const std::tuple<int, const char*, const char*> rows[] = {
        {4, "Image1", "Refresh File"},
        {2, "Image2", "Create New Directory"},
        {3, "Image5", "New Upload"},
        {6, "Image4", "Delete Directory / File"},
        {9, "keptImage", "Kept on the Server (deleting is off)"}};
    int i = 0;
    for (auto [stateIndex, name, words] : rows) {
        const int r = 1 + i / 2;
        const int c = (i % 2) * 2;
        grid->addWidget(icon(stateIndex, name), r, c);
        grid->addWidget(Caption(tr(words), page), r, c + 1);
        ++i;
    }
    auto* frame = Named(new QFrame(page), "Bevel1");
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    auto* framed = new QHBoxLayout(frame);
    framed->setContentsMargins(4, 2, 4, 2);
    framed->addWidget(icon(8, "Image7"));
    // The same words as the Details page for a ticked entry.
    auto* newer = Caption(
        tr("In Step. The server holds the same copy as the local directory: nothing to send."),
        frame, "inStepLbl");
    newer->setWordWrap(true);
    framed->addWidget(newer, 1);
    grid->addWidget(frame, 4, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(5, 1);
    return page;
}

QWidget* TMainWindow::BuildInfoPage() {
    auto* page = new QWidget;
    auto* row = new QHBoxLayout(page);
    row->setContentsMargins(6, 4, 6, 4);
    auto* title = Caption(tr("Pelmora - Version 1.1c (%1-bit)").arg(BuildWordBits), page, "Label1");
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);
    row->addWidget(Picture(Artwork("info_globe"), page, "Image3"));
    row->addWidget(title, 1);
    row->addWidget(Picture(Artwork("info_sync"), page, "Image6"));
    return page;
}

QWidget* TMainWindow::BuildLogPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(6, 4, 6, 4);
    auto* log = Named(new QPlainTextEdit(page), "logMemo");
    log->setAccessibleName(tr("Log"));
    log->setLineWrapMode(QPlainTextEdit::NoWrap);
    Bind(form_.logMemo, log);
    layout->addWidget(log);
    return page;
}

QWidget* TMainWindow::BuildDebugPane() {
    // Kept for looking at raw listings while debugging; it is not part of the window
    // a user sees.
    auto* pane = Named(new QWidget, "debugPane");
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Caption(tr("Debug Output:"), pane, "Label32"));
    auto* memo = Named(new QPlainTextEdit(pane), "debugMemo");
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Bind(form_.debugMemo, memo);
    layout->addWidget(memo);
    auto* clear = Named(new QPushButton(tr("Clear output"), pane), "Button1");
    connect(clear, &QPushButton::clicked, this, [this] { form_.clearDebugClick(); });
    layout->addWidget(clear);
    pane->hide();
    return pane;
}

void TMainWindow::ApplyGeometry() {
    const TWindowGeometry& g = form_.Geometry;
    if (g.SizeStored) {
        resize(g.Width, g.Height);
    } else {
        QSize first(TWindowGeometry::FirstWidth, TWindowGeometry::FirstHeight);
        if (const QScreen* s = screen())
            first = first.boundedTo(s->availableGeometry().size());
        resize(first);
    }
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
    QTimer::singleShot(0, this, [this] {
        form_.FormActivate();
        notebook_->setCurrentIndex(form_.NotebookPage);
    });
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    // A closed window must not go on uploading out of sight.
    if (form_.engine.OperationRunning())
        form_.stopBtnClick();
    StoreGeometry();
    try {
        form_.FormClose();
    } catch (const EProfileError& e) {
        QMessageBox::warning(this, windowTitle(), QString::fromUtf8(e.what()));
    }
    event->accept();
}

int RunWindow(const TRunSite& site, const TSites& sites) {
    TForm1 form;
    TKeyringPasswordStore keyring;
    form.PasswordStore = &keyring;
    if (site.FromSites)
        form.UseSites(sites, site.Name);
    else
        form.UseSiteName(site.Name);
    form.FormCreate(site.SettingsFile);
    int result = 0;
    {
        TMainWindow window(form);
        window.show();
        result = QApplication::exec();
    }
    return result;
}

} // namespace pelmora::ui
