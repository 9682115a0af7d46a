#include "app/window.h"

#include "chat/messagerow.h"
#include "chat/rowdelegate.h"

#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QListWidget>
#include <QStringList>

namespace {

void applySearch(QListWidgetItem *row, const QString &search) {
    row->setHidden(!row->text().contains(search, Qt::CaseInsensitive));
}

} // namespace

void Window::loadChats() {
    call(QStringLiteral("/auth/flow/web/chats"), QJsonObject(), false,
         [this](QJsonObject reply, QString error) { rebuildChats(reply, error); });
}

void Window::rebuildChats(const QJsonObject &reply, const QString &error) {
    if (!error.isEmpty()) {
        statusLabel->setText(error);
        return;
    }
    const QString keep = currentChatId;
    const QString search = searchEdit->text();
    const QJsonArray chats = reply.value(QStringLiteral("chats")).toArray();

    // Clearing and re-selecting fire currentItemChanged; the flag tells selectChat to ignore them.
    chatsRebuilding = true;
    chat::CachedRowDelegate::of(chatList)->nextGeneration();
    chatList->setUpdatesEnabled(false);
    chatList->clear();
    QList<chat::ChatRow> rows;
    QStringList names;
    rows.reserve(chats.size());
    names.reserve(chats.size());
    for (const QJsonValue &value : chats) {
        rows.append(chat::chatRow(value.toObject()));
        names.append(rows.last().name);
    }
    // One insertion for all rows, in reply order.
    chatList->addItems(names);
    for (int i = 0; i < rows.size(); ++i) {
        QListWidgetItem *row = chatList->item(i);
        row->setData(Qt::UserRole, rows[i].id);
        applySearch(row, search);
        if (rows[i].id == keep)
            chatList->setCurrentItem(row);
    }
    chatList->setUpdatesEnabled(true);
    chatsRebuilding = false;
}

void Window::selectChat(QListWidgetItem *item) {
    if (chatsRebuilding || !item)
        return;
    currentChatId = item->data(Qt::UserRole).toString();
    chatTitle->setText(item->text());
    loadMessages();
}

void Window::filterChats(const QString &text) {
    for (int i = 0; i < chatList->count(); ++i)
        applySearch(chatList->item(i), text);
}
