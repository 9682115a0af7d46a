#include "app/window.h"

#include "chat/messagerow.h"
#include "chat/rowdelegate.h"

#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QListWidget>
#include <QScrollBar>
#include <QStringList>

namespace {

void fillRows(QListWidget *list, const QJsonArray &messages, const QString &userId) {
    QList<chat::MessageRow> rows;
    QStringList texts;
    rows.reserve(messages.size());
    texts.reserve(messages.size());
    for (const QJsonValue &value : messages) {
        rows.append(chat::messageRow(value.toObject(), userId));
        texts.append(rows.last().text);
    }
    chat::CachedRowDelegate::of(list)->nextGeneration();
    list->clear();
    // One insertion for all rows; the roles are set while the layout is still pending.
    list->addItems(texts);
    for (int i = 0; i < rows.size(); ++i) {
        QListWidgetItem *item = list->item(i);
        item->setData(Qt::UserRole, rows[i].address);
        item->setData(Qt::UserRole + 1, rows[i].fileName);
    }
}

} // namespace

void Window::loadMessages() {
    if (currentChatId.isEmpty() || messagesLoading)
        return;
    messagesLoading = true;
    const QString chatId = currentChatId;
    call(chat::chatPath(chatId, QStringLiteral("messages")), QJsonObject(), false,
         [this, chatId](QJsonObject reply, QString error) {
             messagesLoading = false;
             // The user moved on to another chat while this one was loading.
             if (chatId != currentChatId)
                 return;
             if (!error.isEmpty()) {
                 statusLabel->setText(error);
                 return;
             }
             QScrollBar *bar = messageList->verticalScrollBar();
             const int v = bar->value();
             const int m = bar->maximum();
             messageList->setUpdatesEnabled(false);
             fillRows(messageList, reply.value(QStringLiteral("messages")).toArray(), userId);
             // The scroll range is stale until the new rows are laid out.
             messageList->doItemsLayout();
             if (v >= m - 8)
                 messageList->scrollToBottom();
             else
                 bar->setValue(v);
             messageList->setUpdatesEnabled(true);
             statusLabel->clear();
         });
}

void Window::send() {
    if (currentChatId.isEmpty())
        return;
    const QString text = messageEdit->text().trimmed();
    if (text.isEmpty())
        return;
    call(chat::chatPath(currentChatId, QStringLiteral("messages")),
         QJsonObject{{QStringLiteral("text"), text}}, true,
         [this, text](QJsonObject, QString error) {
             if (!error.isEmpty()) {
                 statusLabel->setText(error);
                 return;
             }
             // Text typed while the request was out belongs to the next message.
             if (messageEdit->text().trimmed() == text)
                 messageEdit->clear();
             loadMessages();
         });
}
