#pragma once

// Small helpers shared by the web tests (header-only; each test is its own executable).

#include "app/window.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QLabel>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <memory>

namespace websupport {

// The program's own names, so the session file lands where the program would put it (inside the
// isolated test folders).
inline void nameApplication() {
    QCoreApplication::setOrganizationName(QStringLiteral("Tovik"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvelle"));
}

inline QString dataFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

// Removes the session file, the key and their folder.
inline void forgetSession() {
    QDir(dataFolder()).removeRecursively();
}

struct Outcome {
    bool done = false;
    int calls = 0;
    QJsonObject object;
    QString error;
};

// Sends one request through Window::call and waits (bounded) for its one callback.
inline std::shared_ptr<Outcome> callAndWait(Window &window, const QString &path,
                                            const QJsonObject &body, bool post,
                                            int timeoutMs = 10000) {
    auto outcome = std::make_shared<Outcome>();
    window.call(path, body, post, [outcome](QJsonObject object, QString error) {
        outcome->done = true;
        ++outcome->calls;
        outcome->object = object;
        outcome->error = error;
    });
    (void)QTest::qWaitFor([&] { return outcome->done; }, timeoutMs);
    return outcome;
}

// A window's start-up is over once the sign-in page shows something other than "preparing".
inline bool startupSettled(const Window &window) {
    const QString text = window.loginStatus->text();
    return !text.isEmpty() && text != QStringLiteral("Подготавливаем вход…");
}

} // namespace websupport
