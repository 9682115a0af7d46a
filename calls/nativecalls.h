#pragma once

#include "calls/callnotice.h"
#include "calls/ringer.h"
#include "calls/screencapture.h"
#include "calls/screendecoder.h"
#include "calls/winvoice.h"

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QLabel>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QQueue>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebSocket>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

class QNetworkAccessManager;
class QWidget;

// The call controller: the realtime channel, the call state, the call window, the tray icon and the
// audio devices. Members are public because the realtime, call, voice and screen code live in
// separate files and the tests drive them directly.
class NativeCalls : public QObject {
public:
    NativeCalls(QNetworkAccessManager *network, QWidget *mainWindow);
    ~NativeCalls() override;

    // Realtime channel (realtime/socket.cpp)
    void setupSocket();
    void connectSocket();
    void handle(QString frame);
    void emitEvent(QString name, QJsonObject payload);
    // Voice and screens: dropped (false) while more than maxQueuedMediaBytes wait in the socket.
    bool emitMedia(QString name, QJsonObject payload);
    bool mediaBacklogged() const;
    void setCredentials(const QString &userId, const QString &token);
    void onDisconnected();
    // Sign-out: leaves any call and closes the channel for good, until new credentials come.
    void endSession();

    // Call actions and state (calls/callstate.cpp, realtime/events.cpp)
    void command(QString action);
    void dial(QString chatId, QString title);
    void update(QJsonObject record);
    void reconcile(const QJsonObject &payload);
    void callError(const QJsonObject &payload);
    void pong(const QJsonObject &payload);
    void finish();

    // Voice (calls/voice.cpp)
    std::function<void(QByteArray)> captureHandler();
    void sendBlock(QByteArray block);
    void receiveAudio(const QJsonObject &payload);
    void playbackTick();
    void toggleMute();
    void setupVoice();
    // Opens the devices for the held call; a device that does not ask for playback itself is fed
    // by playbackTimer.
    bool startVoice();
    // The audio server went away under the call; the devices are retried until it is back.
    void voiceLost();
    void retryVoice();
    void dropReceivedAudio();

    // Screen sharing (calls/screenshare.cpp)
    void toggleScreenShare();
    void sendScreenFrame();
    void sendScreenImage(const QString &id, const QByteArray &jpeg);
    void receiveScreen(const QJsonObject &payload);
    void showScreen(QString jpeg);
    void showDecodedScreen(const QImage &image);

    // Call window and tray (calls/nativecalls.cpp)
    void answer();
    void decline();
    void hangUp();
    void endFromTray();
    void quit();
    void trayActivated();
    void updateDuration();
    void sendPing();
    // Whether the desktop shows a tray icon; without one the main window's close button quits.
    bool trayAvailable() const;
    // Every message box of the call side goes through here, so tests can find and close it.
    // At most one box is open at a time; a box asked for meanwhile replaces any other waiting one
    // and opens when the open one closes.
    void showBox(QMessageBox::Icon icon, const QString &title, const QString &text);
    // A yes/no question under the same rule; false when another box is open.
    bool askYesNo(const QString &title, const QString &text);
    // The ring's one beep, and the incoming-call balloon; both also reach the test seams below.
    void beep();
    void showBalloon(const QString &title, const QString &text);
    // Announces a ringing call: the desktop notification where there is one, the balloon otherwise.
    void announceCall(const QString &id, const QString &title);
    // Ends the ringing: timer, sound and notification.
    void stopRinging();
    // Whether `id` is the call ringing here and not yet answered.
    bool ringing(const QString &id) const;

    QWebSocket socket;
    QNetworkAccessManager *net = nullptr;
    QWidget *mainWindow = nullptr;
    QSystemTrayIcon tray;
    QDialog callDialog;
    QVBoxLayout dialogLayout;
    QLabel titleLabel;
    QLabel callStatusLabel;
    QLabel membersLabel;
    QLabel screenLabel;
    QPushButton answerButton;
    QPushButton declineButton;
    QPushButton micButton;
    QPushButton screenButton;
    QPushButton hangupButton;
    QTimer reconnectTimer;
    QTimer durationTimer;
    QTimer playbackTimer;
    QTimer pingTimer;
    QTimer screenTimer;
    QTimer ringTimer;
    WinVoice voice;
    std::atomic<bool> muted{false};
    QString sessionUserId;
    QString sessionToken;
    QString callId;
    QString sid;
    QJsonObject callRecord;
    bool dialAbandoned = false;
    bool dialPending = false;
    bool connected = false;
    bool mediaActive = false;
    unsigned long long audioSeq = 0;
    QHash<QString, QQueue<QByteArray>> audioQueues;
    QHash<QString, unsigned long long> lastAudioSeq;
    QHash<QString, int> audioBacklog;
    // Guards audioQueues and audioBacklog: a device that asks for playback itself mixes on the
    // audio system's thread.
    std::mutex audioLock;
    // While the audio server is away: retries, and how long a call waits for it; tests shorten it.
    QTimer voiceRetryTimer;
    QElapsedTimer voiceLostFor;
    int voiceLostLimitMs = 10000;

    // What the socket still holds of what we wrote, estimated from its bytesWritten reports. About
    // a second of voice and screen sharing at their largest; beyond it media waits for the link.
    qint64 unsentBytes = 0;
    static constexpr qint64 maxQueuedMediaBytes = 256 * 1024;

    // Channel health: an open must finish within connectTimer, and a live server is never silent
    // for longer than its ping interval plus timeout.
    QTimer connectTimer;
    QTimer livenessTimer;
    int livenessMs = 45000;
    // Identifies the latest dial, so a stale 15 s wait never ends a newer call.
    quint64 dialSerial = 0;
    // Counts the times the channel became ready, so the offline check of an earlier outage never
    // ends a call that has reconnected since. Tests shorten the wait.
    quint64 readyCount = 0;
    int offlineCallMs = 35000;

    // Tests observe every frame the client writes to the socket here; unset in the program.
    std::function<void(const QString &frame)> frameSent;
    Ringer ringer;
    CallNotice callNotice;

    // Tests observe tray balloons and beeps here (a beep observed is not sounded); unset in the
    // program.
    std::function<void(const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon,
                       int msecs)>
        balloonShown;
    std::function<void()> beeped;
    // The call whose failed voice start is being reported; while its box is open, further records
    // of that call don't try the devices again.
    std::optional<QString> voiceFailedCall;
    struct PendingBox {
        QMessageBox::Icon icon;
        QString title;
        QString text;
    };
    bool boxOpen = false;
    std::optional<PendingBox> pendingBox;
    // How long an invite waits for its first record; tests shorten it.
    int dialWaitMs = 15000;

    // Received screens: when the last one was shown, and the newest one waiting for its turn.
    // Tests shorten the interval.
    int screenShowIntervalMs = 250;
    QElapsedTimer screenShown;
    QTimer screenShowTimer;
    QString waitingScreen;

    // Screen sharing (calls/screenshare.cpp). Each start and stop of sharing bumps the serial, so a
    // frame still being grabbed or encoded when sharing stops is dropped. Declared last: its thread
    // is joined before anything it hands frames back to goes away.
    quint64 screenShareSerial = 0;
    ScreenCapture screenCapture;
    // Received screens are decoded off the GUI thread; joined, like the capture's, before what
    // it shows them in goes away.
    ScreenDecoder screenDecoder{[this](const QImage &image) { showDecodedScreen(image); }};

    // Context of the socket's connections (realtime/socket.cpp), declared after everything so it
    // goes first: the socket, destroyed last, reports its own closing, and no handler may run on
    // members already gone.
    QObject socketContext;
};
