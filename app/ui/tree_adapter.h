#pragma once

#include "app/ui/artwork.h"
#include "toolkit/tree_model.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace pelmora::ui {

// Shows a TTreeModel in a QTreeView without copying it: an index's internal id is the
// node's absolute index.
//
// A load appends one node at a time and pumps the event loop after each, so telling
// the view of every node at once would lay the view out again per node. Instead the
// view sees the nodes up to a published count; new nodes and icon changes are handed
// on together a few times a second (or at once by Flush). New nodes always form the
// tail of the pre-order vector, so a publication needs one insertion per existing
// parent on the path to the last published node, however many nodes arrived.
class TTreeAdapter final : public QAbstractItemModel, private TTreeObserver {
    Q_OBJECT
public:
    using TIconFor = std::function<QIcon(int stateIndex)>;

    // The columns beside the name; the facts come from the side's master list.
    enum TColumn : int { NameColumn, SizeColumn, ModifiedColumn, ActionColumn, ColumnCount };
    // Roles the sorting and the filter read.
    enum TRole : int { DirectoryRole = Qt::UserRole + 1, ChangeRole, NameBytesRole };
    struct TNodeFacts {
        bool directory = false;
        long long size = -1;            // unknown for directories and some listings
        std::optional<double> modified; // a TDateTime in local time
    };
    using TFactsOf = std::function<std::optional<TNodeFacts>(int node)>;
    // The state image of a directory that the update removes: a directory with the
    // delete mark.
    static constexpr int RemoveDirectoryImage = imageRemoveDir;

    TTreeAdapter(TTreeModel& tree, TIconFor iconFor, QObject* parent = nullptr);
    void SetFacts(TFactsOf factsOf) { factsOf_ = std::move(factsOf); }
    ~TTreeAdapter() override;

    QModelIndex index(int row, int column, const QModelIndex& parent) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent) const override;
    int columnCount(const QModelIndex& parent) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // An invalid index for a node the view has not been told of yet.
    QModelIndex IndexOfNode(int node) const;
    static int NodeOf(const QModelIndex& index);

    // Tells the view of everything that happened to the tree since the last time.
    void Flush();
    // Milliseconds between two publications while the tree changes.
    static constexpr int PublishIntervalMs = 100;

signals:
    void MakeVisibleRequested(const QModelIndex& index);

private:
    void NodeAdded(int index) override;
    void NodeChanged(int index) override;
    void AboutToClear() override;
    void Cleared() override;
    void NodeMadeVisible(int index) override;

    int VisibleChildren(int parent) const;
    const std::vector<int>& ChildrenOf(int parent) const;
    void PublishNodes();
    void PublishChanges();
    void Schedule();
    TNodeFacts FactsOf(int node) const;
    // What the update does to the node as its image shows it now ("upload", "remove"
    // ...); empty when it stays. The image is what the update resets once it is done.
    QString ActionOf(int node) const;

    TTreeModel& tree_;
    TIconFor iconFor_;
    TFactsOf factsOf_;
    QTimer publishTimer_;
    // Nodes below this index are known to the view.
    int published_ = 0;
    // While a publication runs: the existing parents (NoNode for the top level) whose
    // new children the view already knows of.
    std::vector<int> parentsDone_;
    // Known nodes whose icon changed since the last publication.
    std::vector<int> changed_;
};

} // namespace pelmora::ui
