#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace pelmora::ui {

// "Select Local Directory": a place to start from (home, the file-system root, each
// mounted volume), the directories from that place down to the current one with the
// current one's subdirectories below, and the current directory in a sunken panel.
// Selecting a line makes it current; a double click opens it. Below, a field takes a
// typed or pasted path (Enter goes there; OK takes it), and "Browse..." opens the
// desktop's own folder dialog.
class TDirDialog final : public QDialog {
    Q_OBJECT
public:
    struct TPlace {
        QString Title;
        QString Root;
    };

    explicit TDirDialog(QWidget* parent = nullptr);

    // Shows the dialog modally, centred on the screen, starting at `start` (home when it
    // is empty or gone). 1 for OK with the current directory in `chosen`, 2 for Cancel.
    int Execute(std::string& chosen);

    // The directory the dialog returns on OK.
    const QString& Directory() const { return directory_; }
    void SetDirectory(const QString& path);

    QComboBox* DriveComboBox1() const { return drives_; }
    QListWidget* DirectoryListBox1() const { return list_; }
    QLabel* statusPanel() const { return panel_; }
    QPushButton* OKBtn() const { return ok_; }
    QPushButton* CancelBtn() const { return cancel_; }
    QLineEdit* PathEdit() const { return path_; }
    QPushButton* BrowseBtn() const { return browse_; }

    // Goes to the directory typed in the path field ("~" is the home directory); false,
    // said in the panel, when there is none of that name.
    bool GoToTypedPath();

    // The desktop's folder dialog, starting at the given directory; an empty text when
    // cancelled. A test puts a stand-in here.
    std::function<QString(QWidget* parent, const QString& start)> BrowseForDirectory;

    static std::vector<TPlace> Places();

private:
    void DriveComboBox1Change(int index);
    void DirectoryListBox1Change();
    void Fill();
    void Browse();
    bool eventFilter(QObject* watched, QEvent* event) override;
    int PlaceOf(const QString& path) const;

    std::vector<TPlace> places_;
    QString directory_;
    QComboBox* drives_ = nullptr;
    QListWidget* list_ = nullptr;
    QLabel* panel_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QLineEdit* path_ = nullptr;
    QPushButton* browse_ = nullptr;
    bool filling_ = false;
};

} // namespace pelmora::ui
