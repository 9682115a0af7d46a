#include "app/window.h"

#include "chat/messagerow.h"

#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

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
    chatList->setUpdatesEnabled(false);
    chatList->clear();
    for (const QJsonValue &value : chats) {
        const chat::ChatRow chat = chat::chatRow(value.toObject());
        auto *row = new QListWidgetItem(chat.name, chatList);
        row->setData(Qt::UserRole, chat.id);
        applySearch(row, search);
        if (chat.id == keep)
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
