#include "app/window.h"

#include "chat/attachments.h"
#include "chat/messagerow.h"
#include "web/request.h"
#include "web/service.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHttpMultiPart>
#include <QLabel>
#include <QListWidgetItem>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <memory>

namespace {

// While the total is unknown the label keeps whatever it showed.
void showPercent(QLabel *label, const QString &pattern, qint64 done, qint64 total) {
    if (const std::optional<qint64> percent = chat::percentOf(done, total))
        label->setText(pattern.arg(*percent));
}

// How far the reply's body may run ahead of the disk; keeps a large download's memory flat.
constexpr qint64 downloadBufferBytes = 1024 * 1024;

// Finishes the target once the reply is done and says how it ended: the file is replaced only when
// the whole body arrived and was written.
QString downloadOutcome(const QNetworkReply *reply, QSaveFile *save, bool writeFailed) {
    if (writeFailed) {
        save->cancelWriting();
        return QStringLiteral("Не удалось сохранить файл");
    }
    if (webapi::failed(reply)) {
        save->cancelWriting();
        return QStringLiteral("Не удалось скачать файл");
    }
    return save->commit() ? QStringLiteral("Файл сохранён")
                          : QStringLiteral("Не удалось сохранить файл");
}

} // namespace

void Window::upload() {
    if (currentChatId.isEmpty())
        return;
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Выберите файл"));
    if (path.isEmpty())
        return;
    uploadPath(path);
}

void Window::uploadPath(const QString &path) {
    if (currentChatId.isEmpty())
        return;
    const QString chatPath = chat::chatPath(currentChatId, QStringLiteral("files"));
    if (chatPath.isEmpty()) {
        statusLabel->setText(chat::badChatAddress);
        return;
    }
    auto file = std::make_unique<QFile>(path);
    if (file->size() > chat::uploadLimitBytes || !file->open(QIODevice::ReadOnly)) {
        statusLabel->setText(QStringLiteral("Файл недоступен или больше 25 МБ"));
        return;
    }

    auto form = std::make_unique<QHttpMultiPart>(QHttpMultiPart::FormDataType);
    QHttpPart part;
    part.setRawHeader("Content-Disposition", chat::uploadPartDisposition(path));
    part.setBodyDevice(file.get());
    file.release()->setParent(form.get());
    form->append(part);

    QNetworkReply *reply = net.post(webapi::apiRequest(baseUrl, chatPath), form.get());
    form.release()->setParent(reply);
    statusLabel->setText(QStringLiteral("Отправляем файл…"));

    connect(reply, &QNetworkReply::uploadProgress, this,
            [this, serial = signOutSerial](qint64 sent, qint64 total) {
                if (serial == signOutSerial)
                    showPercent(statusLabel, QStringLiteral("Загрузка %1%"), sent, total);
            });
    connect(reply, &QNetworkReply::finished, this, [this, reply, serial = signOutSerial] {
        reply->deleteLater();
        if (serial != signOutSerial)
            return;
        if (webapi::failed(reply)) {
            statusLabel->setText(QStringLiteral("Не удалось отправить файл"));
            return;
        }
        statusLabel->setText(QStringLiteral("Файл отправлен"));
        loadMessages();
    });
}

void Window::download(QListWidgetItem *item) {
    if (!item)
        return;
    const std::optional<QUrl> url =
        chat::downloadUrl(item->data(Qt::UserRole).toString(), service::host());
    if (!url) {
        statusLabel->setText(QStringLiteral("Недопустимый адрес файла"));
        return;
    }
    const QString name = chat::proposedSaveName(item->data(Qt::UserRole + 1).toString());
    // Where the desktop keeps downloads, rather than wherever the program happened to start.
    QDir folder(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    if (!folder.exists())
        folder = QDir::home();
    const QString proposed = folder.filePath(name);
    const QString savePath =
        QFileDialog::getSaveFileName(this, QStringLiteral("Сохранить файл"), proposed, QString());
    if (savePath.isEmpty())
        return;
    downloadTo(*url, savePath);
}

void Window::downloadTo(const QUrl &url, const QString &savePath) {
    // The body goes to disk as it arrives; the target is replaced only by the final commit, so a
    // failure at any point leaves it as it was.
    auto target = std::make_unique<QSaveFile>(savePath);
    if (!target->open(QIODevice::WriteOnly)) {
        statusLabel->setText(QStringLiteral("Не удалось сохранить файл"));
        return;
    }
    QNetworkRequest request = webapi::request(url);
    // The address was checked against the service host; a redirect must not lead elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    QNetworkReply *reply = net.get(request);
    reply->setReadBufferSize(downloadBufferBytes);
    QSaveFile *save = target.release();
    save->setParent(reply);

    // Set when writing fails; the reply is then aborted and must not read as a network failure.
    auto writeFailed = std::make_shared<bool>(false);
    // An abort from inside readyRead finishes the reply before the progress signal of that same
    // arrival; the late signal must not cover the outcome.
    auto ended = std::make_shared<bool>(false);
    auto drain = [reply, save, writeFailed] {
        const int status = webapi::status(reply);
        // An error page is not the file.
        if (*writeFailed || status < 200 || status >= 300) {
            reply->skip(reply->bytesAvailable());
            return;
        }
        while (reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(downloadBufferBytes);
            if (chunk.isEmpty() || save->write(chunk) != chunk.size()) {
                *writeFailed = true;
                reply->abort();
                return;
            }
        }
    };
    connect(reply, &QNetworkReply::readyRead, this, drain);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, ended, serial = signOutSerial](qint64 received, qint64 total) {
                if (!*ended && serial == signOutSerial)
                    showPercent(statusLabel, QStringLiteral("Скачивание %1%"), received, total);
            });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, save, writeFailed, ended, drain, serial = signOutSerial] {
                *ended = true;
                reply->deleteLater();
                // A transfer still running at sign-out belongs to the user who left: it is not
                // saved and tells the next user nothing.
                if (serial != signOutSerial) {
                    save->cancelWriting();
                    return;
                }
                if (!*writeFailed && !webapi::failed(reply))
                    drain();
                statusLabel->setText(downloadOutcome(reply, save, *writeFailed));
            });
}
