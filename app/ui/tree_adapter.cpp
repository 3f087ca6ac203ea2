#include "app/ui/tree_adapter.h"

#include "sync/detail.h"
#include "toolkit/date_time.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace pelmora::ui {

namespace {

// Beyond this many changed icons one repaint of the whole view is cheaper than
// locating every row in it.
constexpr size_t ChangesToRepaintAll = 64;

} // namespace

TTreeAdapter::TTreeAdapter(TTreeModel& tree, TIconFor iconFor, QObject* parent)
    : QAbstractItemModel(parent), tree_(tree), iconFor_(std::move(iconFor)) {
    published_ = tree_.Count();
    publishTimer_.setSingleShot(true);
    publishTimer_.setInterval(PublishIntervalMs);
    connect(&publishTimer_, &QTimer::timeout, this, &TTreeAdapter::Flush);
    tree_.AddObserver(this);
}

TTreeAdapter::~TTreeAdapter() {
    tree_.RemoveObserver(this);
}

int TTreeAdapter::NodeOf(const QModelIndex& index) {
    return index.isValid() ? static_cast<int>(index.internalId()) : TTreeModel::NoNode;
}

const std::vector<int>& TTreeAdapter::ChildrenOf(int parent) const {
    return parent == TTreeModel::NoNode ? tree_.TopLevel() : tree_.Node(parent).Children;
}

int TTreeAdapter::VisibleChildren(int parent) const {
    const std::vector<int>& children = ChildrenOf(parent);
    // A parent the view met in this publication shows all its children already; a new
    // parent brings all of its own.
    const bool whole = parent >= published_ || std::find(parentsDone_.begin(), parentsDone_.end(),
                                                         parent) != parentsDone_.end();
    if (whole)
        return static_cast<int>(children.size());
    // Children are appended in index order, so the known ones are a prefix.
    return static_cast<int>(std::lower_bound(children.begin(), children.end(), published_) -
                            children.begin());
}

QModelIndex TTreeAdapter::IndexOfNode(int node) const {
    if (node < 0 || node >= tree_.Count())
        return {};
    const TTreeModel::TNode& n = tree_.Node(node);
    if (n.Row >= VisibleChildren(n.Parent))
        return {};
    return createIndex(n.Row, 0, static_cast<quintptr>(node));
}

QModelIndex TTreeAdapter::index(int row, int column, const QModelIndex& parent) const {
    const int p = NodeOf(parent);
    if (column < 0 || column >= ColumnCount || row < 0 || row >= VisibleChildren(p))
        return {};
    return createIndex(row, column, static_cast<quintptr>(ChildrenOf(p)[static_cast<size_t>(row)]));
}

QModelIndex TTreeAdapter::parent(const QModelIndex& child) const {
    const int node = NodeOf(child);
    if (node == TTreeModel::NoNode)
        return {};
    return IndexOfNode(tree_.Node(node).Parent);
}

int TTreeAdapter::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return VisibleChildren(NodeOf(parent));
}

int TTreeAdapter::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

TTreeAdapter::TNodeFacts TTreeAdapter::FactsOf(int node) const {
    if (factsOf_)
        if (auto facts = factsOf_(node))
            return *facts;
    // Without the list: what the tree itself tells.
    const auto& n = tree_.Node(node);
    TNodeFacts facts;
    facts.directory =
        !n.Children.empty() || n.StateIndex == markDirectory || n.StateIndex == markCreate;
    return facts;
}

QString TTreeAdapter::ActionOf(int node) const {
    switch (tree_.Node(node).StateIndex) {
    case markCreate:
        return tr("create");
    case markUpload:
        return tr("upload");
    case markRefresh:
        return tr("refresh");
    case markDelete:
        return FactsOf(node).directory ? tr("remove") : tr("delete");
    case markKept:
        return tr("kept");
    default:
        return {};
    }
}

namespace {

QString SizeText(long long size) {
    if (size < 0)
        return {};
    if (size < 1024)
        return QLocale().toString(size) + " B";
    return QLocale().formattedDataSize(size, 1, QLocale::DataSizeTraditionalFormat);
}

QString ModifiedText(double value) {
    const TDateParts d = DecodeDate(value);
    const TTimeParts t = DecodeTime(value);
    const QDateTime at(QDate(d.Year, d.Month, d.Day), QTime(t.Hour, t.Minute, t.Second));
    return at.isValid() ? QLocale().toString(at, QLocale::ShortFormat) : QString();
}

} // namespace

QVariant TTreeAdapter::data(const QModelIndex& index, int role) const {
    const int node = NodeOf(index);
    if (node == TTreeModel::NoNode)
        return {};
    const auto& n = tree_.Node(node);
    switch (role) {
    case DirectoryRole:
        return FactsOf(node).directory;
    case ChangeRole:
        return !ActionOf(node).isEmpty();
    case NameBytesRole:
        return QByteArray::fromStdString(n.Text);
    default:
        break;
    }
    if (index.column() == NameColumn) {
        if (role == Qt::DisplayRole)
            return QString::fromStdString(n.Text);
        if (role == Qt::DecorationRole && n.StateIndex >= 0 && iconFor_) {
            // Only a directory to remove looks different from a file to delete.
            const bool directory = n.StateIndex == markDelete && FactsOf(node).directory;
            return iconFor_(StateImageOf(n.StateIndex, directory));
        }
        return {};
    }
    if (role == Qt::TextAlignmentRole && index.column() == SizeColumn)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    const TNodeFacts facts = FactsOf(node);
    switch (index.column()) {
    case SizeColumn:
        return facts.directory ? QString() : SizeText(facts.size);
    case ModifiedColumn:
        return facts.modified ? ModifiedText(*facts.modified) : QString();
    case ActionColumn:
        return ActionOf(node);
    default:
        return {};
    }
}

QVariant TTreeAdapter::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NameColumn:
        return tr("Name");
    case SizeColumn:
        return tr("Size");
    case ModifiedColumn:
        return tr("Modified");
    case ActionColumn:
        return tr("Action");
    default:
        return {};
    }
}

void TTreeAdapter::Schedule() {
    if (!publishTimer_.isActive())
        publishTimer_.start();
}

void TTreeAdapter::NodeAdded(int) {
    Schedule();
}

void TTreeAdapter::NodeChanged(int node) {
    // A node the view does not know yet shows its icon as it is when it is published.
    if (node >= published_)
        return;
    changed_.push_back(node);
    Schedule();
}

void TTreeAdapter::Flush() {
    publishTimer_.stop();
    PublishNodes();
    PublishChanges();
}

void TTreeAdapter::PublishNodes() {
    const int count = tree_.Count();
    if (published_ >= count)
        return;
    // Every existing node that received children since is on the path from the top to
    // the last published node (a subtree is one run of the pre-order vector), so the
    // deepest first, then its ancestors, then the top level.
    std::vector<int> path;
    for (int n = published_ - 1; n != TTreeModel::NoNode; n = tree_.Node(n).Parent)
        path.push_back(n);
    path.push_back(TTreeModel::NoNode);
    parentsDone_.clear();
    for (int parent : path) {
        const int first = VisibleChildren(parent);
        const int last = static_cast<int>(ChildrenOf(parent).size()) - 1;
        if (first <= last) {
            beginInsertRows(IndexOfNode(parent), first, last);
            parentsDone_.push_back(parent);
            endInsertRows();
        } else {
            parentsDone_.push_back(parent);
        }
    }
    parentsDone_.clear();
    published_ = count;
}

void TTreeAdapter::PublishChanges() {
    if (changed_.empty())
        return;
    if (changed_.size() > ChangesToRepaintAll) {
        // Nothing moved: the views keep expansion and selection and repaint.
        emit layoutAboutToBeChanged();
        emit layoutChanged();
    } else {
        std::sort(changed_.begin(), changed_.end());
        changed_.erase(std::unique(changed_.begin(), changed_.end()), changed_.end());
        for (int node : changed_) {
            const QModelIndex i = IndexOfNode(node);
            if (i.isValid())
                emit dataChanged(i, i.siblingAtColumn(ColumnCount - 1));
        }
    }
    changed_.clear();
}

void TTreeAdapter::AboutToClear() {
    publishTimer_.stop();
    changed_.clear();
    beginResetModel();
}

void TTreeAdapter::Cleared() {
    published_ = 0;
    endResetModel();
}

void TTreeAdapter::NodeMadeVisible(int node) {
    Flush();
    emit MakeVisibleRequested(IndexOfNode(node));
}

} // namespace pelmora::ui
