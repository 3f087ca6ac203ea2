#include "app/ui/tree_adapter.h"

namespace pelmora::ui {

TTreeAdapter::TTreeAdapter(TTreeModel& tree, TIconFor iconFor, QObject* parent)
    : QAbstractItemModel(parent), tree_(tree), iconFor_(std::move(iconFor)) {
    tree_.AddObserver(this);
}

TTreeAdapter::~TTreeAdapter() {
    tree_.RemoveObserver(this);
}

int TTreeAdapter::NodeOf(const QModelIndex& index) {
    return index.isValid() ? static_cast<int>(index.internalId()) : TTreeModel::NoNode;
}

QModelIndex TTreeAdapter::IndexOfNode(int node) const {
    if (node < 0 || node >= tree_.Count())
        return {};
    return createIndex(tree_.Node(node).Row, 0, static_cast<quintptr>(node));
}

QModelIndex TTreeAdapter::index(int row, int column, const QModelIndex& parent) const {
    const int p = NodeOf(parent);
    const std::vector<int>& children =
        p == TTreeModel::NoNode ? tree_.TopLevel() : tree_.Node(p).Children;
    if (column != 0 || row < 0 || row >= static_cast<int>(children.size()))
        return {};
    return createIndex(row, 0, static_cast<quintptr>(children[static_cast<size_t>(row)]));
}

QModelIndex TTreeAdapter::parent(const QModelIndex& child) const {
    const int node = NodeOf(child);
    if (node == TTreeModel::NoNode)
        return {};
    return IndexOfNode(tree_.Node(node).Parent);
}

int TTreeAdapter::rowCount(const QModelIndex& parent) const {
    const int p = NodeOf(parent);
    if (p == TTreeModel::NoNode)
        return static_cast<int>(tree_.TopLevel().size());
    return static_cast<int>(tree_.Node(p).Children.size());
}

int TTreeAdapter::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant TTreeAdapter::data(const QModelIndex& index, int role) const {
    const int node = NodeOf(index);
    if (node == TTreeModel::NoNode)
        return {};
    const auto& n = tree_.Node(node);
    if (role == Qt::DisplayRole)
        return QString::fromStdString(n.Text);
    if (role == Qt::DecorationRole && n.StateIndex >= 0 && iconFor_)
        return iconFor_(n.StateIndex);
    return {};
}

void TTreeAdapter::NodeAboutToBeAdded(int parent, int row) {
    beginInsertRows(IndexOfNode(parent), row, row);
}

void TTreeAdapter::NodeAdded(int) {
    endInsertRows();
}

void TTreeAdapter::NodeChanged(int node) {
    const QModelIndex i = IndexOfNode(node);
    emit dataChanged(i, i, {Qt::DecorationRole});
}

void TTreeAdapter::AboutToClear() {
    beginResetModel();
}

void TTreeAdapter::Cleared() {
    endResetModel();
}

void TTreeAdapter::NodeMadeVisible(int node) {
    emit MakeVisibleRequested(IndexOfNode(node));
}

} // namespace pelmora::ui
