#pragma once

#include <QMainWindow>
#include <QModelIndex>

#include <string>
#include <vector>

class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QStackedWidget;
class QTabBar;
class QTreeView;

namespace pelmora {
class TForm1;
class TSites;
struct TRunSite;
} // namespace pelmora

namespace pelmora::ui {

class TDirDialog;
class TTreeAdapter;
class TTreeSortProxy;

// The desktop window: draws the state of a TForm1 and turns clicks into its handlers.
// Every widget that stands for a control of the form carries the control's name as its
// object name ("connectBtn", "localRootLabel", "Notebook1" ...).
class TMainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainWindow(TForm1& form, QWidget* parent = nullptr);
    ~TMainWindow() override;

    QTreeView* LocalTreeView() const { return localView_; }
    QTreeView* RemoteTreeView() const { return remoteView_; }
    TTreeAdapter* LocalModel() const { return localModel_; }
    TTreeAdapter* RemoteModel() const { return remoteModel_; }
    QStackedWidget* Notebook() const { return notebook_; }
    QTabBar* TabSet() const { return tabSet_; }
    TDirDialog* DirDialog() const { return dirDialog_; }
    // Where the view shows a node of the tree with this tag (1 local, 2 remote); invalid
    // while the node is unpublished or filtered out.
    QModelIndex ViewIndexOf(int tag, int node) const;
    // Both trees show only the entries the update changes, and the way to them.
    void SetChangesOnly(bool changesOnly);

    // Shows the notebook page with the tab's index; leaving the Setup page saves what
    // changed on it.
    void TabSet1Change(int newTab);
    static constexpr int SetupPage = 2;

    // Status and transfer figures follow their models at most this often.
    static constexpr int RepaintIntervalMs = 100;

protected:
    void closeEvent(QCloseEvent* event) override;
    // Keeps Alt+letter out of the text fields (see InstallShortcuts).
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* BuildVersionStrip();
    QWidget* BuildTrees();
    void ShapeTreeView(QTreeView* view);
    void AddRootRows(QGridLayout* grid, QWidget* area);
    QWidget* BuildNotebook();
    QWidget* BuildTransferPage();
    QHBoxLayout* BuildTransferButtons(QWidget* page);
    void AddProgressRows(QGridLayout* grid, QWidget* page);
    QWidget* BuildDetailsPage();
    QWidget* BuildSetupPage();
    void AddSiteRow(QGridLayout* grid, QWidget* page);
    void AddServerRows(QGridLayout* grid, QWidget* page);
    void AddFirewallRows(QGridLayout* grid, QWidget* page);
    void BindSites(QComboBox* combo);
    QWidget* BuildOptionsPage();
    QWidget* BuildLegendPage();
    QWidget* BuildInfoPage();
    QWidget* BuildLogPage();
    QWidget* BuildDebugPane();
    void WireTree(QTreeView* view, int tag);
    void AnswerForm();
    void AddSecurityState();
    void InstallServices();
    void InstallShortcuts();
    void NameControls();
    bool ConfirmDeletes(const std::string& counts, const std::vector<std::string>& lines);
    void ApplyGeometry();
    void StoreGeometry();

    TForm1& form_;
    QTreeView* localView_ = nullptr;
    QTreeView* remoteView_ = nullptr;
    TTreeAdapter* localModel_ = nullptr;
    TTreeAdapter* remoteModel_ = nullptr;
    TTreeSortProxy* localProxy_ = nullptr;
    TTreeSortProxy* remoteProxy_ = nullptr;
    QStackedWidget* notebook_ = nullptr;
    QTabBar* tabSet_ = nullptr;
    TDirDialog* dirDialog_ = nullptr;
    bool activated_ = false;
};

// Opens the window on the site's settings file and runs until it closes; the selector
// offers the other sites when the file is one of them.
int RunWindow(const TRunSite& site, const TSites& sites);

} // namespace pelmora::ui
