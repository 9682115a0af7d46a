#pragma once

#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

#include <functional>

namespace testutil {

// Runs the event loop until done() holds or the time is up. Unlike QTest::qWaitFor it does not
// sleep between rounds, so transfers that hop between threads run at full speed.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 20000);

// Keeps test data (session file, key file) out of the user's real folders and away from other
// test processes. Call before anything asks for a standard location.
void isolateUserData();

// Closes whatever modal box is open now (a message box or question box) with the given button
// role's default answer. Returns the text of the box that was closed, or an empty string.
QString closeModalBox(bool accept = true);

// Arms a repeating check that answers every modal box as it appears, for code that calls exec().
void autoCloseModalBoxes(QObject *context, bool accept = true, QStringList *texts = nullptr);

// Runs the application's own loop, as the program does, until it is asked to quit; false if
// nobody asks in time. A quit left pending would end every later loop at once, the event loops of
// later tests and their message boxes included; the application's exec() clears it again.
bool quitRequested();

// TLS settings for a stub server in a test: the local service's certificate and its EC key, as
// make-certs.sh makes them. A null local certificate means the files are missing.
QSslConfiguration serverTls();

} // namespace testutil
