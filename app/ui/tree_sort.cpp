#include "app/ui/tree_sort.h"

#include "app/ui/tree_adapter.h"

#include <algorithm>

namespace pelmora::ui {

TTreeSortProxy::TTreeSortProxy(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
    // A directory stays while anything below it is shown.
    setRecursiveFilteringEnabled(true);
    sort(TTreeAdapter::NameColumn, Qt::AscendingOrder);
}

void TTreeSortProxy::SetChangesOnly(bool changesOnly) {
    if (changesOnly == changesOnly_)
        return;
    changesOnly_ = changesOnly;
    invalidateFilter();
}

bool TTreeSortProxy::NameBefore(const QByteArray& a, const QByteArray& b) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a')
                                    : static_cast<unsigned char>(c);
    };
    const auto folded =
        std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                     [&](char x, char y) { return lower(x) < lower(y); });
    if (folded)
        return true;
    const auto foldedAfter =
        std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                     [&](char x, char y) { return lower(x) < lower(y); });
    if (foldedAfter)
        return false;
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

bool TTreeSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const bool leftDir = left.data(TTreeAdapter::DirectoryRole).toBool();
    const bool rightDir = right.data(TTreeAdapter::DirectoryRole).toBool();
    if (leftDir != rightDir)
        return leftDir;
    return NameBefore(left.data(TTreeAdapter::NameBytesRole).toByteArray(),
                      right.data(TTreeAdapter::NameBytesRole).toByteArray());
}

bool TTreeSortProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (!changesOnly_)
        return true;
    const QModelIndex i = sourceModel()->index(sourceRow, 0, sourceParent);
    return i.data(TTreeAdapter::ChangeRole).toBool();
}

} // namespace pelmora::ui
