#pragma once

#include <QList>
#include <QListWidget>

#include <optional>

namespace chat {

// The first step of bringing a shown list in line with a new one without a rebuild. `kept` becomes
// the number of rows that match from the top. When the new list is the shown one less one row,
// that row is taken out (true), or a full rebuild is due when the rest does not match (false);
// otherwise there is nothing decided yet (nullopt) and the caller goes on from `kept`.
template <typename Row, typename Same>
std::optional<bool> takeOutOneRow(QListWidget *list, const QList<Row> &rows, Same same, int &kept) {
    const int old = list->count();
    const int size = int(rows.size());
    kept = 0;
    while (kept < old && kept < size && same(list->item(kept), rows[kept]))
        ++kept;
    if (size != old - 1)
        return std::nullopt;
    for (int i = kept; i < size; ++i) {
        if (!same(list->item(i + 1), rows[i]))
            return false;
    }
    delete list->takeItem(kept);
    return true;
}

} // namespace chat
