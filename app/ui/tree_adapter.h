#pragma once

#include "toolkit/tree_model.h"

#include <QAbstractItemModel>
#include <QIcon>

#include <functional>

namespace pelmora::ui {

// Shows a TTreeModel in a QTreeView without copying it: an index's internal id is the
// node's absolute index.
class TTreeAdapter final : public QAbstractItemModel, private TTreeObserver {
    Q_OBJECT
public:
    using TIconFor = std::function<QIcon(int stateIndex)>;

    TTreeAdapter(TTreeModel& tree, TIconFor iconFor, QObject* parent = nullptr);
    ~TTreeAdapter() override;

    QModelIndex index(int row, int column, const QModelIndex& parent) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent) const override;
    int columnCount(const QModelIndex& parent) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    QModelIndex IndexOfNode(int node) const;
    static int NodeOf(const QModelIndex& index);

signals:
    void MakeVisibleRequested(const QModelIndex& index);

private:
    void NodeAboutToBeAdded(int parent, int row) override;
    void NodeAdded(int index) override;
    void NodeChanged(int index) override;
    void AboutToClear() override;
    void Cleared() override;
    void NodeMadeVisible(int index) override;

    TTreeModel& tree_;
    TIconFor iconFor_;
};

} // namespace pelmora::ui
