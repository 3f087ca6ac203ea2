#include "app/ui/dir_dialog.h"
#include "tests/ui/window_driver.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <functional>

using namespace pelmora;
using namespace pelmora::testing;
using ui::TDirDialog;

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QStringList Paths(const QListWidget* list) {
    QStringList paths;
    for (int i = 0; i < list->count(); ++i)
        paths << list->item(i)->data(Qt::UserRole).toString();
    return paths;
}

// Presses Change and, once the dialog is up, does what `inDialog` says there.
void UseChange(TWindowFixture& f, std::function<void(TDirDialog*)> inDialog) {
    bool shown = false;
    QTimer::singleShot(0, f.Window.get(), [&] {
        TDirDialog* d = f.Window->DirDialog();
        shown = d->isVisible() && d->isModal();
        inDialog(d);
    });
    Click(f.Find("changeLocalBtn"));
    EXPECT_TRUE(shown);
}

} // namespace

TEST(DirDialog, ListsTheWayDownAndTheSubdirectoriesAndTakesTheSelectedOne) {
    TTempTree tree;
    tree.Dir("site/b");
    tree.Dir("site/A");
    tree.File("site/file.html"); // not a directory: not listed
    TDirDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), "Select Local Directory");
    EXPECT_EQ(dialog.size(), QSize(384, 234));
    EXPECT_TRUE(dialog.OKBtn()->isDefault());
    EXPECT_EQ(dialog.OKBtn()->text(), "OK");
    EXPECT_EQ(dialog.CancelBtn()->text(), "Cancel");

    const QString site = Q(tree.Path("site"));
    dialog.SetDirectory(site);
    const QStringList paths = Paths(dialog.DirectoryListBox1());
    // From the place's root down to the directory, then its subdirectories by name.
    ASSERT_GE(paths.size(), 3);
    EXPECT_EQ(paths.mid(paths.size() - 3), QStringList({site, site + "/A", site + "/b"}));
    EXPECT_EQ(
        paths.front(),
        TDirDialog::Places()[static_cast<size_t>(dialog.DriveComboBox1()->currentIndex())].Root);
    EXPECT_EQ(dialog.statusPanel()->text(), site);

    // Selecting a line makes it the result; a double click opens it.
    QListWidget* list = dialog.DirectoryListBox1();
    list->setCurrentRow(static_cast<int>(paths.indexOf(site + "/b")));
    EXPECT_EQ(dialog.Directory(), site + "/b");
    EXPECT_EQ(dialog.statusPanel()->text(), site + "/b");
    const QListWidgetItem* a = list->item(static_cast<int>(paths.indexOf(site + "/A")));
    DoubleClick(list->viewport(), list->visualItemRect(a).center());
    EXPECT_EQ(dialog.Directory(), site + "/A");
    EXPECT_EQ(Paths(list).back(), site + "/A"); // no subdirectories of its own
}

TEST(DirDialog, OffersHomeTheFileSystemRootAndMountedVolumes) {
    const auto places = TDirDialog::Places();
    ASSERT_GE(places.size(), 2u);
    EXPECT_EQ(places[0].Root, QDir::homePath());
    EXPECT_EQ(places[1].Root, "/");
    TDirDialog dialog;
    dialog.SetDirectory(QDir::homePath());
    EXPECT_EQ(dialog.DriveComboBox1()->currentIndex(), 0);
    // Choosing a place starts over at its root.
    dialog.DriveComboBox1()->setCurrentIndex(1);
    emit dialog.DriveComboBox1()->activated(1);
    EXPECT_EQ(dialog.Directory(), "/");
    // A directory that is gone starts at home.
    dialog.SetDirectory("/no/such/directory/here");
    EXPECT_EQ(dialog.Directory(), QDir::homePath());
}

TEST(DirDialog, CancelOrEscapeLeavesTheLocalDirectoryAndTheTreeAsTheyWere) {
    TTempTree other;
    other.File("elsewhere.html");
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Escape" : "Cancel");
        TTempTree site;
        site.File("index.html");
        site.File("docs/guide.html");
        TWindowFixture f(site.Path());
        ASSERT_EQ(f.Form.engine.localList.Count(), 3);
        const std::string status = f.Form.statusPanel.Caption();
        UseChange(f, [&](TDirDialog* d) {
            // Starts where the local directory is.
            EXPECT_EQ(d->Directory(), Q(site.Path()));
            d->SetDirectory(Q(other.Path()));
            if (escape)
                PressKey(d, Qt::Key_Escape);
            else
                Click(d->CancelBtn());
        });
        EXPECT_EQ(f.Form.localRootLabel.Caption(), site.Path());
        EXPECT_EQ(f.Form.engine.localList.Count(), 3);
        EXPECT_EQ(f.Form.engine.localTree.Count(), 3);
        EXPECT_EQ(f.Form.statusPanel.Caption(), status);
        EXPECT_FALSE(f.Window->DirDialog()->isVisible());
    }
}

TEST(DirDialog, OkLoadsTheChosenDirectory) {
    TTempTree site;
    site.File("index.html");
    TTempTree other;
    other.File("one.html");
    other.File("two/three.html");
    TWindowFixture f(site.Path());
    UseChange(f, [&](TDirDialog* d) {
        d->SetDirectory(Q(other.Path()));
        Click(d->OKBtn());
    });
    EXPECT_EQ(f.Form.localRootLabel.Caption(), other.Path());
    EXPECT_EQ(f.Form.engine.localList.Count(), 3);
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Local Directory Loaded: 3");
    EXPECT_EQ(f.Window->DirDialog()->statusPanel()->text(), ""); // emptied on the way out
    f.FlushTrees();
    EXPECT_EQ(f.Window->LocalTreeView()->model()->rowCount({}), 2);
}

// A path typed or pasted into the field: Enter goes there and leaves the dialog open, OK
// takes it (typed, or gone to); one that is no directory is said and nothing is taken.
// Browse goes where the desktop's dialog chose.
TEST(DirDialog, ATypedPathIsTakenAndBrowseGoesWhereTheDesktopsDialogChose) {
    TTempTree site;
    site.File("index.html");
    TTempTree deep;
    deep.File("a/b/c/d/e/f/page.html");
    deep.File("a/b/other/one.html");
    const QString six = Q(deep.Path("a/b/c/d/e/f"));
    TWindowFixture f(site.Path());
    UseChange(f, [&](TDirDialog* d) {
        ASSERT_NE(d->PathEdit(), nullptr);
        EXPECT_EQ(d->PathEdit()->text(), "");
        QTest::keyClicks(d->PathEdit(), six);
        PressKey(d->PathEdit(), Qt::Key_Return);
        EXPECT_TRUE(d->isVisible()) << "Enter goes to the path; it does not close the dialog";
        EXPECT_EQ(d->Directory(), six);
        EXPECT_EQ(d->statusPanel()->text(), six);

        // Not a directory: said, and OK takes nothing.
        d->PathEdit()->setText(Q(deep.Path("a/b/c/d/e/f/page.html")));
        Click(d->OKBtn());
        EXPECT_TRUE(d->isVisible());
        EXPECT_TRUE(d->statusPanel()->text().startsWith("No such directory: "))
            << d->statusPanel()->text().toStdString();
        EXPECT_EQ(d->Directory(), six);

        // Pasted, and OK pressed without Enter.
        d->PathEdit()->clear();
        d->PathEdit()->insert(Q(deep.Path("a/b/other")) + "  ");
        Click(d->OKBtn());
    });
    EXPECT_EQ(f.Form.localRootLabel.Caption(), deep.Path("a/b/other"));
    EXPECT_EQ(f.Form.engine.localList.Count(), 1);
    EXPECT_EQ(f.Window->DirDialog()->PathEdit()->text(), ""); // emptied on the way out

    UseChange(f, [&](TDirDialog* d) {
        QString startedAt;
        d->BrowseForDirectory = [&](QWidget*, const QString& start) {
            startedAt = start;
            return six;
        };
        Click(d->BrowseBtn());
        EXPECT_EQ(startedAt, Q(deep.Path("a/b/other")));
        EXPECT_EQ(d->Directory(), six);
        Click(d->OKBtn());
    });
    EXPECT_EQ(f.Form.localRootLabel.Caption(), six.toStdString());
}
