#include "toolkit/tree_model.h"

#include <algorithm>
#include <stdexcept>

namespace pelmora {

namespace {

bool IsOnLastPath(const std::vector<TTreeModel::TNode>& nodes, int parent) {
    // The new node is the next in pre-order only when its parent is the last node or
    // one of that node's ancestors.
    for (int n = static_cast<int>(nodes.size()) - 1; n != TTreeModel::NoNode;
         n = nodes[static_cast<size_t>(n)].Parent)
        if (n == parent)
            return true;
    return false;
}

} // namespace

int TTreeModel::AddChild(int parent, const std::string& text, int stateIndex) {
    if (parent != NoNode && (parent < 0 || parent >= Count() || !IsOnLastPath(nodes_, parent)))
        throw std::logic_error("tree nodes must be appended in pre-order");
    const int index = Count();
    const size_t row =
        (parent == NoNode ? topLevel_ : nodes_[static_cast<size_t>(parent)].Children).size();
    for (TTreeObserver* o : observers_)
        o->NodeAboutToBeAdded(parent, static_cast<int>(row));
    TNode node;
    node.Text = text;
    node.StateIndex = stateIndex;
    node.Parent = parent;
    nodes_.push_back(std::move(node));
    // Only now: the push may have moved the parent's child list.
    std::vector<int>& siblings =
        parent == NoNode ? topLevel_ : nodes_[static_cast<size_t>(parent)].Children;
    nodes_.back().Row = static_cast<int>(siblings.size());
    siblings.push_back(index);
    for (TTreeObserver* o : observers_)
        o->NodeAdded(index);
    return index;
}

void TTreeModel::SetStateIndex(int index, int stateIndex) {
    TNode& node = nodes_.at(static_cast<size_t>(index));
    if (node.StateIndex == stateIndex)
        return;
    node.StateIndex = stateIndex;
    for (TTreeObserver* o : observers_)
        o->NodeChanged(index);
}

void TTreeModel::MakeVisible(int index) {
    for (int p = nodes_.at(static_cast<size_t>(index)).Parent; p != NoNode;
         p = nodes_[static_cast<size_t>(p)].Parent)
        nodes_[static_cast<size_t>(p)].Expanded = true;
    for (TTreeObserver* o : observers_)
        o->NodeMadeVisible(index);
}

void TTreeModel::Clear() {
    for (TTreeObserver* o : observers_)
        o->AboutToClear();
    nodes_.clear();
    topLevel_.clear();
    selected_ = NoNode;
    for (TTreeObserver* o : observers_)
        o->Cleared();
}

void TTreeModel::SetSelected(int index) {
    selected_ = (index >= 0 && index < Count()) ? index : NoNode;
}

int TTreeModel::Depth(int index) const {
    int depth = 0;
    for (int p = Node(index).Parent; p != NoNode; p = nodes_[static_cast<size_t>(p)].Parent)
        ++depth;
    return depth;
}

void TTreeModel::AddObserver(TTreeObserver* observer) {
    observers_.push_back(observer);
}

void TTreeModel::RemoveObserver(TTreeObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

} // namespace pelmora
