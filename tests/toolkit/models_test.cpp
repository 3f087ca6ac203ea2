#include "toolkit/controls.h"
#include "toolkit/string_list.h"
#include "toolkit/text.h"
#include "toolkit/tree_model.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

using namespace pelmora;

TEST(SpinEdit, ClampsAndReadsTheMinimumForNonNumbers) {
    TSpinEdit spin(5, 300, 30);
    struct Case {
        const char* text;
        long value;
    };
    for (const Case& c :
         {Case{"30", 30}, Case{"1000", 300}, Case{"1", 5}, Case{"", 5}, Case{"abc", 5},
          Case{"12x", 5}, Case{" 42", 42}, Case{"-7", 5}, Case{"99999999999999999999999", 300}}) {
        spin.SetText(c.text);
        EXPECT_EQ(spin.Value(), c.value) << '"' << c.text << '"';
    }
    spin.SetValue(70000);
    EXPECT_EQ(spin.Text(), "300");
    EXPECT_EQ(TSpinEdit(0, 65535, 70000).Value(), 65535);
}

TEST(Controls, ListenersHearEveryChangeButNotRepeats) {
    TLabel label("a");
    int changes = 0;
    label.Subscribe([&] { ++changes; });
    label.SetCaption("b");
    label.SetCaption("b");
    label.SetVisible(false);
    label.SetEnabled(false);
    EXPECT_EQ(changes, 3);
}

TEST(TreeModel, KeepsNodesInPreOrderWithAbsoluteIndexes) {
    TTreeModel tree;
    const int a = tree.AddChild(TTreeModel::NoNode, "a", 1);
    const int a1 = tree.AddChild(a, "a1", 7);
    const int a2 = tree.AddChild(a, "a2", 1);
    const int a21 = tree.AddChild(a2, "a21", 7);
    const int b = tree.AddChild(TTreeModel::NoNode, "b", 7);
    EXPECT_EQ((std::vector<int>{a, a1, a2, a21, b}), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(tree.Node(a21).Parent, a2);
    EXPECT_EQ(tree.Node(a2).Row, 1);
    EXPECT_EQ(tree.TopLevel(), (std::vector<int>{a, b}));
    EXPECT_EQ(tree.Depth(a21), 2);

    // Appending under a node that is not on the path to the last node would break
    // the pre-order, and is refused.
    EXPECT_THROW(tree.AddChild(a1, "late", 7), std::logic_error);

    tree.SetStateIndex(a1, TTreeModel::NoImage);
    EXPECT_EQ(tree.Node(a1).StateIndex, -1);
    tree.MakeVisible(a21);
    EXPECT_TRUE(tree.Node(a).Expanded);
    EXPECT_TRUE(tree.Node(a2).Expanded);
    tree.SetSelected(3);
    EXPECT_EQ(tree.Selected(), 3);
    tree.Clear();
    EXPECT_EQ(tree.Count(), 0);
    EXPECT_EQ(tree.Selected(), TTreeModel::NoNode);
}

TEST(TreeModel, ObserversHearAddsChangesAndClears) {
    struct Recorder : TTreeObserver {
        std::vector<std::string> events;
        void NodeAdded(int i) override { events.push_back("add " + std::to_string(i)); }
        void NodeChanged(int i) override { events.push_back("change " + std::to_string(i)); }
        void Cleared() override { events.push_back("clear"); }
        void NodeMadeVisible(int i) override { events.push_back("show " + std::to_string(i)); }
    } recorder;
    TTreeModel tree;
    tree.AddObserver(&recorder);
    tree.AddChild(TTreeModel::NoNode, "x", 1);
    tree.SetStateIndex(0, 4);
    tree.SetStateIndex(0, 4);
    tree.MakeVisible(0);
    tree.Clear();
    tree.RemoveObserver(&recorder);
    tree.AddChild(TTreeModel::NoNode, "y", 1);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"add 0", "change 0", "show 0", "clear"}));
}

TEST(StringList, SortedListsPutDirectoriesFirstInNameOrderIgnoringCase) {
    TStringList list;
    for (const char* line : {"F-z.txt", "D-B", "F-c.txt", "D-a", "F-C.TXT", "D-_x"})
        list.Add(line);
    list.SetSorted(true);
    std::vector<std::string> got;
    for (int i = 0; i < list.Count(); ++i)
        got.push_back(list.Strings(i));
    // Equal lines keep their arrival order; "_" sorts before letters.
    EXPECT_EQ(got,
              (std::vector<std::string>{"D-_x", "D-a", "D-B", "F-c.txt", "F-C.TXT", "F-z.txt"}));
    EXPECT_EQ(list.Add("D-b2"), 3);
    EXPECT_EQ(list.Add("F-C.txt"), 6) << "an equal line goes after the ones already there";
    EXPECT_EQ(list.IndexOf("f-c.TXT"), 4);
    EXPECT_EQ(list.IndexOf("nothing"), -1);
}

TEST(StringList, OwningListsDeleteTheirObjects) {
    struct Counted : TObject {
        explicit Counted(int& n) : alive(n) { ++alive; }
        ~Counted() override { --alive; }
        int& alive;
    };
    int alive = 0;
    {
        TStringList owning(false, true);
        owning.Add("a", new Counted(alive));
        owning.Add("b", new Counted(alive));
        owning.Add("c", new Counted(alive));
        owning.Delete(0);
        EXPECT_EQ(alive, 2);
        TObject* kept = owning.Extract(0);
        owning.Clear();
        EXPECT_EQ(alive, 1);
        delete kept;
        owning.Add("d", new Counted(alive));
    }
    EXPECT_EQ(alive, 0);
}

TEST(Text, ComparesWithoutRegardToCase) {
    EXPECT_EQ(CompareText("/DOCS/INDEX.HTML", "/docs/index.html"), 0);
    EXPECT_LT(CompareText("D-a", "F-a"), 0);
    EXPECT_LT(CompareText("abc", "abcd"), 0);
    EXPECT_EQ(CompareText("/ÉTÉ.TXT", "/été.txt"), 0) << "letters outside A-Z";
    EXPECT_NE(CompareText("/a", "/b"), 0);
    EXPECT_EQ(UpperAscii("/Docs/é-a"), "/DOCS/é-A");
    EXPECT_EQ(FoldCase("/ÉTÉ.TXT"), FoldCase("/été.txt"));
    EXPECT_EQ(FoldCase("/ABC"), FoldCase("/abc"));
}
