#pragma once

#include <QMainWindow>

#include <string>

class QTreeView;

namespace pelmora {
class TForm1;
}

namespace pelmora::ui {

class TTreeAdapter;

// The desktop window: draws the state of a TForm1 and turns clicks into its handlers.
class TMainWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainWindow(TForm1& form, QWidget* parent = nullptr);
    ~TMainWindow() override;

    QTreeView* LocalTreeView() const { return localView_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildTrees(QWidget* area);
    QWidget* BuildTransferPage();
    void ApplyGeometry();
    void StoreGeometry();

    TForm1& form_;
    QTreeView* localView_ = nullptr;
    QTreeView* remoteView_ = nullptr;
    TTreeAdapter* localModel_ = nullptr;
    TTreeAdapter* remoteModel_ = nullptr;
    bool activated_ = false;
};

// Opens the window on the given settings file and runs until it closes.
int RunWindow(const std::string& settingsFile);

} // namespace pelmora::ui
