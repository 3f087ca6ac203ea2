#pragma once

#include <QSortFilterProxyModel>

namespace pelmora::ui {

// How both trees are shown: directories first, then by name, the same on either side
// whatever order the disk or the server gave; and, on request, only the entries the
// update changes with the directories that lead to them. The engine's tree keeps its
// own order (its node i is line i of the side's list), so the order lives here.
class TTreeSortProxy final : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit TTreeSortProxy(QObject* parent = nullptr);

    void SetChangesOnly(bool changesOnly);
    bool ChangesOnly() const { return changesOnly_; }

    // The order of two names: letters without regard to case, then the bytes, so that
    // the order is total and the same on every machine.
    static bool NameBefore(const QByteArray& a, const QByteArray& b);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool changesOnly_ = false;
};

} // namespace pelmora::ui
