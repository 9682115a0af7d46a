#include "app/window.h"

#include "chat/messagerow.h"

#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>

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
             const QJsonArray messages = reply.value(QStringLiteral("messages")).toArray();

             messageList->setUpdatesEnabled(false);
             messageList->clear();
             for (const QJsonValue &value : messages) {
                 const chat::MessageRow row = chat::messageRow(value.toObject(), userId);
                 auto *item = new QListWidgetItem(row.text, messageList);
                 item->setData(Qt::UserRole, row.address);
                 item->setData(Qt::UserRole + 1, row.fileName);
             }
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
