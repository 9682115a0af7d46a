#pragma once

#include <QByteArray>
#include <QString>

namespace chat {

// The raw reply a list was last built from. The refresh asks again every 5 s and nearly always
// gets the same bytes back; comparing them with these is all such a refresh costs.
struct ShownReply {
    QByteArray bytes;
    QString chatId; // messages: the chat the rows belong to
    QString userId; // messages: whose messages read "Вы"
    qsizetype rows = -1;
    // messages: the reply was {"messages":[...]} and nothing else, so elements added at its end
    // can be told apart by the bytes alone
    bool appendable = false;
};

} // namespace chat
