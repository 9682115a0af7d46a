#include "app/window.h"

#include "chat/messagerow.h"
#include "chat/rowdelegate.h"
#include "chat/rowsync.h"

#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QListWidget>
#include <QStringList>

#include <memory>

namespace {

void applySearch(QListWidgetItem *row, const QString &search) {
    row->setHidden(!row->text().contains(search, Qt::CaseInsensitive));
}

QString idOf(const QListWidgetItem *row) {
    return row->data(Qt::UserRole).toString();
}

bool sameRow(const QListWidgetItem *row, const chat::ChatRow &chat) {
    return row->text() == chat.name && idOf(row) == chat.id;
}

// A full rebuild makes the last row carrying the kept id current, or none; a refresh that only
// touches some rows must leave the list in that same state. Only called while chatsRebuilding
// is set, so selectChat ignores what this changes.
void keepSelection(QListWidget *list, const QString &keep) {
    QListWidgetItem *target = nullptr;
    for (int i = list->count() - 1; i >= 0 && !target; --i) {
        if (idOf(list->item(i)) == keep)
            target = list->item(i);
    }
    if (list->currentItem() != target || (target && !target->isSelected()))
        list->setCurrentItem(target);
    if (!target)
        list->clearSelection();
}

// Brings the rows in line with `chats` when the difference is small: names changed in place,
// chats added at the end, or one chat gone. Anything else is left to a full rebuild (false).
bool updateRows(QListWidget *list, const QList<chat::ChatRow> &chats, const QString &search) {
    int same = 0;
    if (const std::optional<bool> done = chat::takeOutOneRow(list, chats, sameRow, same))
        return *done;
    const int old = list->count();
    const int size = int(chats.size());
    if (size < old)
        return false;
    for (int i = same; i < old; ++i) {
        // Same place, same id: the chat was renamed.
        if (idOf(list->item(i)) != chats[i].id)
            return false;
    }
    for (int i = same; i < old; ++i) {
        QListWidgetItem *row = list->item(i);
        if (row->text() != chats[i].name) {
            row->setText(chats[i].name);
            applySearch(row, search);
        }
    }
    QStringList names;
    for (int i = old; i < size; ++i)
        names.append(chats[i].name);
    list->addItems(names);
    for (int i = old; i < size; ++i) {
        list->item(i)->setData(Qt::UserRole, chats[i].id);
        applySearch(list->item(i), search);
    }
    return true;
}

} // namespace

void Window::loadChats() {
    auto body = std::make_shared<QByteArray>();
    call(
        QStringLiteral("/auth/flow/web/chats"), QJsonObject(), false,
        [this, body](QJsonObject reply, QString error) {
            rebuildChats(reply, error);
            if (error.isEmpty())
                shownChats.bytes = std::move(*body);
        },
        [this, body](const QByteArray &bytes) {
            if (bytes != shownChats.bytes || chatList->count() != shownChats.rows) {
                *body = bytes;
                return false;
            }
            // The rows built from these very bytes are still there: nothing would change.
            chatsRebuilding = true;
            keepSelection(chatList, currentChatId);
            chatsRebuilding = false;
            return true;
        });
}

void Window::rebuildChats(const QJsonObject &reply, const QString &error) {
    if (!error.isEmpty()) {
        statusLabel->setText(error);
        return;
    }
    const QString keep = currentChatId;
    const QString search = searchEdit->text();
    const QJsonArray chats = reply.value(QStringLiteral("chats")).toArray();
    QList<chat::ChatRow> rows;
    rows.reserve(chats.size());
    for (const QJsonValue &value : chats)
        rows.append(chat::chatRow(value.toObject()));

    // Clearing and re-selecting fire currentItemChanged; the flag tells selectChat to ignore them.
    chatsRebuilding = true;
    chatList->setUpdatesEnabled(false);
    if (!updateRows(chatList, rows, search)) {
        chat::CachedRowDelegate::of(chatList)->nextGeneration();
        chatList->clear();
        QStringList names;
        names.reserve(rows.size());
        for (const chat::ChatRow &row : rows)
            names.append(row.name);
        // One insertion for all rows, in reply order.
        chatList->addItems(names);
        for (int i = 0; i < rows.size(); ++i) {
            QListWidgetItem *row = chatList->item(i);
            row->setData(Qt::UserRole, rows[i].id);
            applySearch(row, search);
        }
    }
    keepSelection(chatList, keep);
    chatList->setUpdatesEnabled(true);
    chatsRebuilding = false;
    // loadChats adds the bytes the rows were built from.
    shownChats = {{}, {}, {}, chatList->count()};
}

void Window::selectChat(QListWidgetItem *item) {
    if (chatsRebuilding || !item)
        return;
    currentChatId = item->data(Qt::UserRole).toString();
    // Selecting a chat asks for its history again, even one that was too large before.
    tooLargeChatId.clear();
    chatTitle->setText(item->text());
    loadMessages();
}

void Window::filterChats(const QString &text) {
    for (int i = 0; i < chatList->count(); ++i)
        applySearch(chatList->item(i), text);
}
