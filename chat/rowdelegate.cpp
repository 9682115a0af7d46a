#include "chat/rowdelegate.h"

#include <QListWidget>

namespace chat {

namespace {

// Resizing the window asks for every row at every width it passes through; past this many
// entries the older generation goes early.
constexpr qsizetype maxEntries = 50000;

} // namespace

size_t qHash(const CachedRowDelegate::Key &key, size_t seed) noexcept {
    return qHashMulti(seed, key.text, key.width, key.fontHeight);
}

CachedRowDelegate *CachedRowDelegate::of(QListWidget *list) {
    if (auto *installed = qobject_cast<CachedRowDelegate *>(list->itemDelegate()))
        return installed;
    auto *delegate = new CachedRowDelegate(list);
    list->setItemDelegate(delegate);
    return delegate;
}

QSize CachedRowDelegate::sizeHint(const QStyleOptionViewItem &option,
                                  const QModelIndex &index) const {
    Key key{index.data(Qt::DisplayRole).toString(), option.rect.width(),
            option.fontMetrics.height()};
    if (const auto found = current.constFind(key); found != current.constEnd())
        return found.value();
    QSize size;
    if (const auto old = previous.constFind(key); old != previous.constEnd())
        size = old.value();
    else
        size = QStyledItemDelegate::sizeHint(option, index);
    if (current.size() >= maxEntries) {
        previous = std::move(current);
        current.clear();
    }
    current.insert(std::move(key), size);
    return size;
}

void CachedRowDelegate::nextGeneration() {
    previous = std::move(current);
    current.clear();
}

} // namespace chat
