#pragma once

#include <QDialog>
#include <QString>

#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace pelmora::ui {

// "Select Local Directory": a place to start from (home, the file-system root, each
// mounted volume), the directories from that place down to the current one with the
// current one's subdirectories below, and the current directory in a sunken panel.
// Selecting a line makes it current; a double click opens it.
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

    static std::vector<TPlace> Places();

private:
    void DriveComboBox1Change(int index);
    void DirectoryListBox1Change();
    void Fill();
    int PlaceOf(const QString& path) const;

    std::vector<TPlace> places_;
    QString directory_;
    QComboBox* drives_ = nullptr;
    QListWidget* list_ = nullptr;
    QLabel* panel_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    bool filling_ = false;
};

} // namespace pelmora::ui
