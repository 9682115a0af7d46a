// A call record as JSON, through every reading the call side makes of it.
#include "calls/callrecord.h"
#include "web/json.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QJsonObject record =
        QJsonDocument::fromJson(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)))
            .object();
    const QString user = webjson::text(record.value(QLatin1String("callerId")));
    (void)callrecord::memberLines(record);
    (void)callrecord::ownEntry(record, QStringLiteral("u1"));
    (void)callrecord::title(record, user);
    (void)callrecord::hasState(record.value(QLatin1String("state")), QStringLiteral("ACTIVE"));
    (void)callrecord::durationText(record.value(QLatin1String("acceptedAt")),
                                   QDateTime::fromMSecsSinceEpoch(1733500000000, Qt::UTC));
    return 0;
}
