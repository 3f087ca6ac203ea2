#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmora {

// What a view of a TTreeModel hears. The "About" calls come just before the change,
// the others just after it.
class TTreeObserver {
public:
    virtual ~TTreeObserver() = default;
    virtual void NodeAboutToBeAdded(int /*parent*/, int /*row*/) {}
    virtual void AboutToClear() {}
    virtual void NodeAdded(int index) = 0;
    virtual void NodeChanged(int index) = 0;
    virtual void Cleared() = 0;
    virtual void NodeMadeVisible(int index) = 0;
};

// A tree of captioned nodes with state images. Nodes are only ever appended in
// pre-order, so they live in one vector in that order and a node's absolute index
// (its place in a depth-first walk of the whole tree) is its index in the vector.
class TTreeModel {
public:
    static constexpr int NoNode = -1;
    static constexpr int NoImage = -1;

    struct TNode {
        std::string Text;
        int StateIndex = NoImage;
        int Parent = NoNode;
        int Row = 0; // place among its parent's children
        bool Expanded = false;
        std::vector<int> Children;
    };

    int Count() const { return static_cast<int>(nodes_.size()); }
    const TNode& Node(int index) const { return nodes_.at(static_cast<size_t>(index)); }
    const std::vector<int>& TopLevel() const { return topLevel_; }

    // Appends a node as the last child of `parent` (NoNode: at top level) and returns its
    // absolute index. The parent must be on the path to the last node, which keeps the
    // vector in pre-order; anything else throws std::logic_error.
    int AddChild(int parent, const std::string& text, int stateIndex);

    void SetStateIndex(int index, int stateIndex);
    // Expands every ancestor of the node and asks the views to scroll to it.
    void MakeVisible(int index);
    void Clear();

    int Selected() const { return selected_; }
    void SetSelected(int index);

    // Pre-order walk helpers, mostly for tests and the views.
    int Depth(int index) const;

    void AddObserver(TTreeObserver* observer);
    void RemoveObserver(TTreeObserver* observer);

private:
    std::vector<TNode> nodes_;
    std::vector<int> topLevel_;
    int selected_ = NoNode;
    std::vector<TTreeObserver*> observers_;
};

} // namespace pelmora
