#include "app/servicetesthook.h"
#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/testutil.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTest>

namespace {

QPushButton *button(const Window &w, const QString &text) {
    const QList<QPushButton *> buttons = w.pages->findChildren<QPushButton *>();
    for (QPushButton *b : buttons) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        testutil::isolateUserData();
        // Nothing listens there: the start-up requests fail at once and reach no real service.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 closed = probe.serverPort();
        probe.close();
        servicetesthook::pointAt(QStringLiteral("localhost"), closed);
    }

    void startsOnSignInPageWithFixedGeometry() {
        Window w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Tovik Messenger"));
        QCOMPARE(w.size(), QSize(1100, 760));
        QCOMPARE(w.minimumSize(), QSize(720, 500));
        QCOMPARE(w.pages->count(), 2);
        QCOMPARE(w.pages->currentIndex(), 0);
        QCOMPARE(w.centralWidget(), w.pages);
        QCOMPARE(w.styleSheet(),
                 QStringLiteral(
                     "QWidget{background:#101318;color:#f2f3ed;font: 11pt 'Segoe UI';} "
                     "QListWidget,QLineEdit{background:#1c2127;border:0;border-radius:12px;"
                     "padding:8px;} QListWidget::item{padding:10px;border-radius:8px;} "
                     "QListWidget::item:selected{background:#39422f;color:#e1f07c;} "
                     "QPushButton{background:#29312c;border:0;border-radius:12px;padding:10px;"
                     "color:#e1f07c;} QPushButton:hover{background:#3d4b36;} "
                     "QLabel{background:transparent;}"));
        w.show();
        w.resize(300, 200);
        QCOMPARE(w.size(), QSize(720, 500));
    }

    // Until the who-am-I reply arrives the sign-in page shows its title and button only.
    void signInPageStartsEmpty() {
        Window w;
        QWidget *page = w.pages->widget(0);
        auto *layout = qobject_cast<QVBoxLayout *>(page->layout());
        QVERIFY(layout);
        QCOMPARE(layout->count(), 7);
        auto *heading = qobject_cast<QLabel *>(layout->itemAt(1)->widget());
        QVERIFY(heading);
        QCOMPARE(heading->text(), QStringLiteral("Вход в Tovik"));
        QCOMPARE(layout->itemAt(2)->widget(), w.qrLabel);
        QCOMPARE(layout->itemAt(3)->widget(), w.codeLabel);
        QCOMPARE(layout->itemAt(4)->widget(), w.loginStatus);
        auto *newQr = qobject_cast<QPushButton *>(layout->itemAt(5)->widget());
        QVERIFY(newQr);
        QCOMPARE(newQr->text(), QStringLiteral("Создать новый QR-код"));
        for (QLabel *label : {w.qrLabel, w.codeLabel, w.loginStatus}) {
            QCOMPARE(label->text(), QString());
            QCOMPARE(label->alignment(), Qt::AlignCenter);
        }
        QVERIFY(w.qrLabel->pixmap().isNull());
        QVERIFY(!w.pollTimer.isActive());
        QVERIFY(!w.refreshTimer.isActive());
    }

    void chatPageHasItsControls() {
        Window w;
        QVERIFY(w.pages->widget(1)->isAncestorOf(w.chatList));
        QCOMPARE(w.searchEdit->placeholderText(), QStringLiteral("Поиск чатов"));
        QCOMPARE(w.messageEdit->placeholderText(), QStringLiteral("Сообщение"));
        QCOMPARE(w.chatTitle->text(), QStringLiteral("Выберите чат"));
        QVERIFY(w.messageList->wordWrap());
        QCOMPARE(w.statusLabel->text(), QString());
        for (const QString &text : {QStringLiteral("Выйти"), QStringLiteral("Позвонить"),
                                    QStringLiteral("Файл"), QStringLiteral("Отправить")})
            QVERIFY2(button(w, text), qPrintable(text));
        // The chat list and the open chat share the width one to three.
        auto *columns = qobject_cast<QHBoxLayout *>(w.pages->widget(1)->layout());
        QVERIFY(columns);
        QCOMPARE(columns->stretch(0), 1);
        QCOMPARE(columns->stretch(1), 3);
    }

    void callWithoutAnOpenChatSendsNothing() {
        Window w;
        int frames = 0;
        w.calls->frameSent = [&frames](const QString &) { ++frames; };
        QStringList boxes;
        testutil::autoCloseModalBoxes(&w, true, &boxes);
        button(w, QStringLiteral("Позвонить"))->click();
        QTest::qWait(100);
        QCOMPARE(frames, 0);
        QVERIFY(boxes.isEmpty());
        QVERIFY(!w.calls->callDialog.isVisible());
    }

    // Closing never destroys the window; with a tray icon it only hides it.
    void closingHides() {
        Window w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCloseEvent event;
        QApplication::sendEvent(&w, &event);
        QVERIFY(!event.isAccepted());
        if (!w.calls->trayAvailable())
            QSKIP("no system tray on this platform: closing quits through the tray's own path");
        QVERIFY(!w.isVisible());
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
