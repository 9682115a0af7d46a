#include "app/window.h"

#include "chat/messagerow.h"
#include "chat/rowdelegate.h"
#include "chat/rowsync.h"
#include "web/request.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QListWidget>
#include <QScrollBar>
#include <QStringList>

#include <memory>

namespace {

const QByteArray replyHead = QByteArrayLiteral("{\"messages\":[");
const QByteArray replyTail = QByteArrayLiteral("]}");

QList<chat::MessageRow> readRows(const QJsonArray &messages, const QString &userId) {
    QList<chat::MessageRow> rows;
    rows.reserve(messages.size());
    for (const QJsonValue &value : messages)
        rows.append(chat::messageRow(value.toObject(), userId));
    return rows;
}

bool sameRow(const QListWidgetItem *item, const chat::MessageRow &row) {
    return item->text() == row.text && item->data(Qt::UserRole).toString() == row.address &&
           item->data(Qt::UserRole + 1).toString() == row.fileName;
}

void setRoles(QListWidgetItem *item, const chat::MessageRow &row) {
    item->setData(Qt::UserRole, row.address);
    item->setData(Qt::UserRole + 1, row.fileName);
}

// One insertion for all rows; the roles are set while the layout is still pending.
void appendRows(QListWidget *list, const QList<chat::MessageRow> &rows, qsizetype from) {
    QStringList texts;
    texts.reserve(rows.size() - from);
    for (qsizetype i = from; i < rows.size(); ++i)
        texts.append(rows[i].text);
    const int first = list->count();
    list->addItems(texts);
    for (qsizetype i = from; i < rows.size(); ++i)
        setRoles(list->item(first + int(i - from)), rows[i]);
}

// Brings the rows in line with `rows` when the difference is small: messages added at the end,
// rows changed in place (a message deleted or edited) or one row gone. Anything else is left to a
// full rebuild (false).
bool updateRows(QListWidget *list, const QList<chat::MessageRow> &rows) {
    int same = 0;
    if (const std::optional<bool> done = chat::takeOutOneRow(list, rows, sameRow, same))
        return *done;
    const int old = list->count();
    const int size = int(rows.size());
    if (size < old)
        return false;
    for (int i = same; i < old; ++i) {
        QListWidgetItem *item = list->item(i);
        if (item->text() != rows[i].text)
            item->setText(rows[i].text);
        setRoles(item, rows[i]);
    }
    appendRows(list, rows, old);
    return true;
}

// New messages at the end of a reply whose earlier bytes are those of the shown one: the shown
// reply is {"messages":[ ... ]} and the new one the same with more elements before the "]}". Only
// the added elements are parsed. Nothing (an empty array) when the reply is not of that shape.
QJsonArray appendedMessages(const QByteArray &shown, const QByteArray &bytes) {
    if (bytes.size() <= shown.size() || !bytes.endsWith(replyTail))
        return {};
    const qsizetype kept = shown.size() - replyTail.size();
    if (!bytes.startsWith(QByteArrayView(shown).first(kept)))
        return {};
    QByteArrayView added = QByteArrayView(bytes).sliced(kept, bytes.size() - shown.size());
    // After an element of the shown array, the next one follows a comma.
    if (kept > replyHead.size()) {
        if (!added.startsWith(','))
            return {};
        added = added.sliced(1);
    }
    // Parsed alone, the added bytes must be whole elements and nothing else.
    QByteArray array;
    array.reserve(added.size() + 2);
    array.append('[').append(added).append(']');
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(array, &error);
    return error.error == QJsonParseError::NoError ? document.array() : QJsonArray();
}

} // namespace

void Window::loadMessages() {
    if (currentChatId.isEmpty() || messagesLoading)
        return;
    const QString path = chat::chatPath(currentChatId, QStringLiteral("messages"));
    if (path.isEmpty()) {
        // What the list holds belongs to another chat.
        messageList->clear();
        shownMessages = {};
        statusLabel->setText(chat::badChatAddress);
        return;
    }
    // Its history is known to be over the limit; the user asks again by selecting it again.
    if (currentChatId == tooLargeChatId)
        return;
    messagesLoading = true;
    const QString chatId = currentChatId;
    const QString user = userId;

    // Applies a reply for the chat now selected: its rows (`change`, if any), then the scroll
    // rule, then the status line.
    const auto show = [this](const std::function<void()> &change) {
        QScrollBar *bar = messageList->verticalScrollBar();
        const int v = bar->value();
        const int m = bar->maximum();
        // Turning updates back on repaints the whole list; a reply that changed nothing must not.
        if (change) {
            messageList->setUpdatesEnabled(false);
            change();
            messageList->doItemsLayout(); // the scroll range is stale until the rows are laid out
        }
        if (v >= m - 8)
            messageList->scrollToBottom();
        else
            bar->setValue(v);
        if (change)
            messageList->setUpdatesEnabled(true);
        statusLabel->clear();
    };
    auto body = std::make_shared<QByteArray>();
    call(
        path, QJsonObject(), false,
        [this, chatId, user, body, show](QJsonObject reply, QString error) {
            messagesLoading = false;
            // The user moved on to another chat while this one was loading.
            if (chatId != currentChatId)
                return;
            if (error == webapi::replyTooLarge) {
                tooLargeChatId = chatId;
                messageList->clear();
                shownMessages = {};
                statusLabel->setText(
                    QStringLiteral("История чата больше 16 МБ, её нельзя показать"));
                return;
            }
            if (!error.isEmpty()) {
                statusLabel->setText(error);
                return;
            }
            const QList<chat::MessageRow> rows =
                readRows(reply.value(QStringLiteral("messages")).toArray(), user);
            const bool sameChat = shownMessages.chatId == chatId && shownMessages.userId == user &&
                                  shownMessages.rows == messageList->count();
            show([&] {
                if (!sameChat || !updateRows(messageList, rows)) {
                    chat::CachedRowDelegate::of(messageList)->nextGeneration();
                    messageList->clear();
                    appendRows(messageList, rows, 0);
                }
            });
            const bool appendable =
                reply.size() == 1 && body->startsWith(replyHead) && body->endsWith(replyTail);
            shownMessages = {std::move(*body), chatId, user, messageList->count(), appendable};
        },
        [this, chatId, user, body, show](const QByteArray &bytes) {
            if (chatId != currentChatId || shownMessages.chatId != chatId ||
                shownMessages.userId != user || shownMessages.rows != messageList->count()) {
                *body = bytes;
                return false;
            }
            if (bytes == shownMessages.bytes) {
                messagesLoading = false;
                show({});
                return true;
            }
            const QJsonArray added = shownMessages.appendable
                                         ? appendedMessages(shownMessages.bytes, bytes)
                                         : QJsonArray();
            if (added.isEmpty()) {
                *body = bytes;
                return false;
            }
            messagesLoading = false;
            show([&] { appendRows(messageList, readRows(added, user), 0); });
            shownMessages.bytes = bytes;
            shownMessages.rows = messageList->count();
            return true;
        });
}

void Window::send() {
    if (currentChatId.isEmpty())
        return;
    const QString text = messageEdit->text().trimmed();
    if (text.isEmpty())
        return;
    const QString path = chat::chatPath(currentChatId, QStringLiteral("messages"));
    if (path.isEmpty()) {
        statusLabel->setText(chat::badChatAddress);
        return;
    }
    call(path, QJsonObject{{QStringLiteral("text"), text}}, true,
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
