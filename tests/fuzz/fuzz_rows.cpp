// Chat-list and message rows as the service sends them, and the chat paths built from their ids.
#include "chat/messagerow.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QJsonArray items =
        QJsonDocument::fromJson(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)))
            .array();
    for (const QJsonValue &item : items) {
        const chat::ChatRow row = chat::chatRow(item.toObject());
        (void)chat::chatPath(row.id, QStringLiteral("messages"));
        (void)chat::messageRow(item.toObject(), QStringLiteral("u1"));
    }
    return 0;
}
