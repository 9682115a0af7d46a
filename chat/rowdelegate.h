#pragma once

#include <QHash>
#include <QSize>
#include <QString>
#include <QStyledItemDelegate>

class QListWidget;

namespace chat {

// Paints rows like the default delegate but remembers their sizes by text, width and font
// height. Every refresh rebuilds the whole message list, and shaping each wrapped text again is
// most of what a rebuild costs; the rows of the previous rebuild are nearly always the same.
class CachedRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The list's delegate, installed (owned by the list) on first use.
    static CachedRowDelegate *of(QListWidget *list);

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Called before each rebuild: sizes not asked for since the previous rebuild are dropped, so
    // the cache holds at most two rebuilds' worth of rows.
    void nextGeneration();

    qsizetype cachedCount() const { return current.size() + previous.size(); }

    struct Key {
        QString text;
        int width;
        int fontHeight;
        friend bool operator==(const Key &, const Key &) = default;
    };

private:
    mutable QHash<Key, QSize> current;
    mutable QHash<Key, QSize> previous;
};

size_t qHash(const CachedRowDelegate::Key &key, size_t seed = 0) noexcept;

} // namespace chat
