#include "calls/desktop.h"
#include "calls/nativecalls.h"
#include "calls/screenimage.h"
#include "tests/screen/xscreen.h"
#include "tests/support/testutil.h"

#include <QApplication>
#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QTest>

#include <functional>

namespace {

QString base64Jpeg(QSize size, QColor colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 60);
    return QString::fromLatin1(bytes.toBase64());
}

QString base64Png(QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QString::fromLatin1(bytes.toBase64());
}

QString base64Bomb() {
    QByteArray jpeg = QByteArray::fromBase64(base64Jpeg({16, 16}, Qt::gray).toLatin1());
    const qsizetype sof = jpeg.indexOf("\xFF\xC0");
    jpeg[sof + 5] = char(0xFF);
    jpeg[sof + 6] = char(0xDC);
    jpeg[sof + 7] = char(0xFF);
    jpeg[sof + 8] = char(0xDC);
    return QString::fromLatin1(jpeg.toBase64());
}

QJsonObject screenEvent(const QJsonValue &id, const QJsonValue &jpeg) {
    return {{"id", id}, {"jpeg", jpeg}};
}

// One call controller on its own, with the channel marked ready so that every event it emits
// reaches `frames`.
struct Sharer {
    QNetworkAccessManager net;
    QWidget window;
    NativeCalls calls{&net, &window};
    QStringList frames;

    Sharer() {
        calls.connected = true;
        calls.callId = QStringLiteral("call-1");
        calls.screenShowIntervalMs = 0;
        calls.frameSent = [this](const QString &frame) { frames.append(frame); };
    }

    // Payloads of the "native_screen" events sent so far.
    QList<QJsonObject> screens() const {
        QList<QJsonObject> found;
        for (const QString &frame : frames) {
            const QJsonArray event =
                QJsonDocument::fromJson(frame.mid(frame.indexOf('[')).toUtf8()).array();
            if (event.at(0).toString() == QLatin1String("native_screen"))
                found.append(event.at(1).toObject());
        }
        return found;
    }

    // Presses the button and answers the question.
    void share(bool accept = true) {
        QObject boxes;
        testutil::autoCloseModalBoxes(&boxes, accept);
        calls.screenButton.click();
    }

    // Holds sharing on without the timer firing by itself, so a test drives every frame.
    void shareManually() {
        share();
        calls.screenTimer.start(3600 * 1000);
    }

    bool settle() {
        const bool idle = QTest::qWaitFor([this] { return !calls.screenCapture.busy(); }, 10000);
        QCoreApplication::processEvents();
        return idle;
    }
};

// Answers the next modal box with `button` after running `meanwhile`; keeps polling until one
// appears.
void whenBoxAppears(QObject *context, std::function<void(QMessageBox *)> meanwhile,
                    QMessageBox::StandardButton button) {
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [timer, meanwhile, button] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        meanwhile(box);
        box->button(button)->click();
    });
    timer->start(20);
}

} // namespace

class ScreenShareTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    void asksBeforeSharing_data() {
        QTest::addColumn<bool>("accept");
        QTest::newRow("no") << false;
        QTest::newRow("yes") << true;
    }

    void asksBeforeSharing() {
        QFETCH(bool, accept);
        Sharer s;
        QObject context;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QWidget *parent = nullptr;
        QAbstractButton *defaultButton = nullptr;
        whenBoxAppears(
            &context,
            [&](QMessageBox *box) {
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                buttons = box->standardButtons();
                parent = box->parentWidget();
                defaultButton = box->defaultButton();
            },
            accept ? QMessageBox::Yes : QMessageBox::No);
        s.calls.screenButton.click();

        QCOMPARE(title, QStringLiteral("Демонстрация экрана"));
        QCOMPARE(text, QStringLiteral("Участники звонка увидят весь экран компьютера. Начать?"));
        QCOMPARE(icon, QMessageBox::Question);
        QCOMPARE(buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(parent, &s.calls.callDialog);
        QVERIFY(!defaultButton);

        QCOMPARE(s.calls.screenTimer.isActive(), accept);
        QCOMPARE(s.calls.screenButton.text(), accept ? QStringLiteral("Остановить демонстрацию")
                                                     : QStringLiteral("Показать экран"));
        // Nothing goes at once: the first image waits for the first timeout.
        QCOMPARE(s.screens().size(), 0);
        if (accept) {
            QCOMPARE(s.calls.screenTimer.interval(), 500);
            QTRY_VERIFY_WITH_TIMEOUT(!s.screens().isEmpty(), 5000);
        } else {
            QTest::qWait(800);
            QVERIFY2(s.frames.isEmpty(), qPrintable(s.frames.join('\n')));
        }
    }

    // A Wayland session hands a plain grab black frames, also to an X client on XWayland.
    void grabWorksOnlyOutsideWayland_data() {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QByteArray>("session");
        QTest::addColumn<bool>("works");
        QTest::newRow("X11") << "xcb" << QByteArray("x11") << true;
        QTest::newRow("XWayland") << "xcb" << QByteArray("wayland") << false;
        QTest::newRow("Wayland") << "wayland-egl" << QByteArray("wayland") << false;
        QTest::newRow("Windows") << "windows" << QByteArray() << true;
    }
    void grabWorksOnlyOutsideWayland() {
        QFETCH(QString, platform);
        QFETCH(QByteArray, session);
        QFETCH(bool, works);
        QCOMPARE(desktop::screenGrabWorks(platform, session), works);
    }

    void sendsTheGrabbedScreen() {
        Sharer s;
        xscreen::ScreenCover cover(xscreen::Pattern::Quadrants);
        QVERIFY(cover.showOnScreen());
        s.share();
        QTRY_VERIFY_WITH_TIMEOUT(s.screens().size() >= 2, 5000);
        const QSize expected = screenimage::fitInside(cover.size(), screenimage::sentBounds);
        for (const QJsonObject &event : s.screens()) {
            QCOMPARE(event.keys(), QStringList({"id", "jpeg"}));
            QCOMPARE(event.value("id").toString(), QStringLiteral("call-1"));
            const auto bytes = QByteArray::fromBase64Encoding(
                event.value("jpeg").toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            QVERIFY(bytes);
            QVERIFY(bytes.decoded.size() <= screenimage::maxJpegBytes);
            const QImage image = screenimage::decodeJpeg(bytes.decoded);
            QCOMPARE(image.size(), expected);
            QVERIFY2(xscreen::quadrantMismatch(image).isEmpty(),
                     qPrintable(xscreen::quadrantMismatch(image)));
        }
    }

    void stoppingSendsOneEndEvent() {
        Sharer s;
        s.share();
        QTRY_VERIFY_WITH_TIMEOUT(!s.screens().isEmpty(), 5000);
        QVERIFY(s.settle());
        const qsizetype before = s.screens().size();

        s.calls.screenButton.click();
        QCOMPARE(s.screens().size(), before + 1);
        QCOMPARE(s.screens().last(), screenEvent("call-1", ""));
        QVERIFY(!s.calls.screenTimer.isActive());
        QCOMPARE(s.calls.screenButton.text(), QStringLiteral("Показать экран"));

        QTest::qWait(1200);
        QCOMPARE(s.screens().size(), before + 1);
    }

    void dropsAFrameFinishedTooLate_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("events");
        QTest::newRow("sharing stopped") << "stop" << 1;
        QTest::newRow("stopped and started again") << "restart" << 1;
        QTest::newRow("call ended") << "finish" << 0;
        QTest::newRow("next call shares") << "next call" << 0;
    }

    void dropsAFrameFinishedTooLate() {
        QFETCH(QString, what);
        QFETCH(int, events);
        Sharer s;
        s.shareManually();
        s.calls.sendScreenFrame();
        QVERIFY(s.calls.screenCapture.busy());
        if (what == "stop" || what == "restart") {
            s.calls.screenButton.click();
            if (what == "restart")
                s.shareManually();
        } else {
            s.calls.finish();
            if (what == "next call") {
                s.calls.callId = QStringLiteral("call-2");
                s.shareManually();
            }
        }
        QVERIFY(s.settle());
        QTest::qWait(50);
        QCOMPARE(s.screens().size(), events);
        if (events)
            QCOMPARE(s.screens().first(), screenEvent("call-1", ""));
    }

    void keepsOneFrameInFlight() {
        Sharer s;
        s.shareManually();
        s.calls.sendScreenFrame();
        s.calls.sendScreenFrame();
        QVERIFY(s.settle());
        QCOMPARE(s.screens().size(), 1);
        s.calls.sendScreenFrame();
        QVERIFY(s.settle());
        QCOMPARE(s.screens().size(), 2);
    }

    void sendsNothingWithoutACallId() {
        Sharer s;
        s.calls.callId.clear();
        s.shareManually();
        s.calls.sendScreenFrame();
        QVERIFY(!s.calls.screenCapture.busy());
        QVERIFY(s.settle());
        QVERIFY(s.frames.isEmpty());
        QVERIFY(s.calls.screenTimer.isActive());
    }

    void hangingUpWhileSharing() {
        Sharer s;
        s.share();
        QTRY_VERIFY_WITH_TIMEOUT(!s.screens().isEmpty(), 5000);
        s.calls.receiveScreen(screenEvent("call-1", base64Jpeg({640, 360}, Qt::red)));
        QVERIFY(!s.calls.screenLabel.pixmap().isNull());
        QVERIFY(s.settle());
        s.frames.clear();

        s.calls.finish();
        QVERIFY(!s.calls.screenTimer.isActive());
        QCOMPARE(s.calls.screenButton.text(), QStringLiteral("Показать экран"));
        QVERIFY(s.calls.screenLabel.pixmap().isNull());
        QTest::qWait(1200);
        QCOMPARE(s.screens().size(), 0);
    }

    // The question runs a nested event loop; what the user agreed to must not carry over to a
    // call that was not there when they were asked.
    void consentCoversOnlyTheCallItWasAskedIn_data() {
        QTest::addColumn<QString>("callIdMeanwhile");
        QTest::newRow("call ended") << QString();
        QTest::newRow("another call") << QStringLiteral("call-2");
    }

    void consentCoversOnlyTheCallItWasAskedIn() {
        QFETCH(QString, callIdMeanwhile);
        Sharer s;
        QObject context;
        whenBoxAppears(
            &context, [&](QMessageBox *) { s.calls.callId = callIdMeanwhile; }, QMessageBox::Yes);
        s.calls.screenButton.click();
        QVERIFY(!s.calls.screenTimer.isActive());
        QCOMPARE(s.calls.screenButton.text(), QStringLiteral("Показать экран"));
        QTest::qWait(700);
        QCOMPARE(s.screens().size(), 0);
    }

    void receives_data() {
        QTest::addColumn<QString>("callId");
        QTest::addColumn<bool>("shownBefore");
        QTest::addColumn<QJsonObject>("payload");
        QTest::addColumn<bool>("shownAfter");
        QTest::addColumn<QSize>("pixmapAfter");
        const QString wide = base64Jpeg({640, 360}, Qt::darkGreen);
        const QSize before(460, 258);
        QTest::newRow("image") << "call-1" << false << screenEvent("call-1", wide) << true
                               << QSize(460, 258);
        QTest::newRow("4:3 image")
            << "call-1" << true << screenEvent("call-1", base64Jpeg({640, 480}, Qt::blue)) << true
            << QSize(373, 280);
        QTest::newRow("another call, hidden")
            << "call-1" << false << screenEvent("call-2", wide) << false << QSize();
        QTest::newRow("another call, shown")
            << "call-1" << true << screenEvent("call-2", "") << true << before;
        QTest::newRow("id as a number") << "7" << true << screenEvent(7, "") << true << before;
        QTest::newRow("no call held")
            << "" << false << QJsonObject{{"jpeg", wide}} << false << QSize();
        QTest::newRow("end of sharing")
            << "call-1" << true << screenEvent("call-1", "") << false << QSize();
        QTest::newRow("no jpeg") << "call-1" << true << QJsonObject{{"id", "call-1"}} << false
                                 << QSize();
        QTest::newRow("jpeg not a string")
            << "call-1" << true << screenEvent("call-1", 12345) << false << QSize();
        QTest::newRow("base64 garbage")
            << "call-1" << true << screenEvent("call-1", "@@@@ not base64 at all ~~~~") << false
            << QSize();
        QTest::newRow("truncated jpeg")
            << "call-1" << true << screenEvent("call-1", wide.left(wide.size() / 2)) << false
            << QSize();
        QTest::newRow("jpeg bomb")
            << "call-1" << true << screenEvent("call-1", base64Bomb()) << false << QSize();
        QTest::newRow("png") << "call-1" << true << screenEvent("call-1", base64Png({64, 64}))
                             << false << QSize();
    }

    void receives() {
        QFETCH(QString, callId);
        QFETCH(bool, shownBefore);
        QFETCH(QJsonObject, payload);
        QFETCH(bool, shownAfter);
        QFETCH(QSize, pixmapAfter);
        Sharer s;
        s.calls.callId = callId;
        if (shownBefore) {
            s.calls.receiveScreen(screenEvent(callId, base64Jpeg({640, 360}, Qt::red)));
            QVERIFY(!s.calls.screenLabel.isHidden());
        }
        const qint64 keyBefore = s.calls.screenLabel.pixmap().cacheKey();

        s.calls.receiveScreen(payload);
        QCOMPARE(!s.calls.screenLabel.isHidden(), shownAfter);
        if (pixmapAfter.isValid())
            QCOMPARE(s.calls.screenLabel.pixmap().size(), pixmapAfter);
        else
            QVERIFY(s.calls.screenLabel.pixmap().isNull());
        if (shownBefore && shownAfter && payload.value("id").toString() != callId)
            QCOMPARE(s.calls.screenLabel.pixmap().cacheKey(), keyBefore);
        QVERIFY(s.frames.isEmpty());
    }

    void newestImageWins() {
        Sharer s;
        s.calls.receiveScreen(screenEvent("call-1", base64Jpeg({640, 360}, Qt::red)));
        s.calls.receiveScreen(screenEvent("call-1", base64Jpeg({640, 360}, Qt::blue)));
        const QImage shown = s.calls.screenLabel.pixmap().toImage();
        QVERIFY(qBlue(shown.pixel(230, 129)) > 200 && qRed(shown.pixel(230, 129)) < 50);
        s.calls.receiveScreen(screenEvent("call-1", ""));
        QVERIFY(s.calls.screenLabel.isHidden());
    }

    // Images arriving faster than a few a second are not all decoded: one arriving too soon
    // waits, a newer one replaces it unseen, and the newest is shown when its turn comes.
    void imagesAreRateLimited() {
        Sharer s;
        s.calls.screenShowIntervalMs = 250;
        auto blueShown = [&s] {
            const QImage shown = s.calls.screenLabel.pixmap().toImage();
            return !shown.isNull() && qBlue(shown.pixel(230, 129)) > 200;
        };
        s.calls.receiveScreen(screenEvent("call-1", base64Jpeg({640, 360}, Qt::red)));
        const qint64 first = s.calls.screenLabel.pixmap().cacheKey();
        s.calls.receiveScreen(screenEvent("call-1", base64Jpeg({640, 360}, Qt::green)));
        s.calls.receiveScreen(screenEvent("call-1", base64Jpeg({640, 360}, Qt::blue)));
        QCOMPARE(s.calls.screenLabel.pixmap().cacheKey(), first);
        QTRY_VERIFY_WITH_TIMEOUT(blueShown(), 2000);
        // One still waiting when the call ends belongs to no call.
        s.calls.receiveScreen(screenEvent("call-1", base64Jpeg({640, 360}, Qt::green)));
        s.calls.finish();
        s.calls.callId = QStringLiteral("call-1");
        QTest::qWait(400);
        QVERIFY(s.calls.screenLabel.pixmap().isNull());
    }
};

QTEST_MAIN(ScreenShareTest)
#include "tst_screenshare.moc"
