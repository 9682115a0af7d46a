#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/testutil.h"
#include "web/servicetesthook.h"

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

QPushButton *button(const QWidget *page, const QString &text) {
    for (QPushButton *b : page->findChildren<QPushButton *>()) {
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

    void geometry() {
        Window w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Tovik Messenger"));
        QCOMPARE(w.size(), QSize(1100, 760));
        QCOMPARE(w.centralWidget(), w.pages);
        w.show();
        w.resize(300, 200);
        QCOMPARE(w.size(), QSize(720, 500));
    }

    // Until the who-am-I reply arrives the sign-in page shows its title and button only; the chat
    // page has its controls, the chat list and the open chat sharing the width one to three.
    void twoPages() {
        Window w;
        QCOMPARE(w.pages->count(), 2);
        QCOMPARE(w.pages->currentIndex(), 0);
        QWidget *signIn = w.pages->widget(0);
        QVERIFY(button(signIn, QStringLiteral("Создать новый QR-код")));
        const QList<QLabel *> labels = signIn->findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.begin(), labels.end(), [](const QLabel *label) {
            return label->text() == QStringLiteral("Вход в Tovik");
        }));
        for (QLabel *label : {w.qrLabel, w.codeLabel, w.loginStatus}) {
            QVERIFY(signIn->isAncestorOf(label));
            QCOMPARE(label->text(), QString());
        }
        QVERIFY(w.qrLabel->pixmap().isNull());
        QVERIFY(!w.pollTimer.isActive());

        QWidget *chats = w.pages->widget(1);
        QVERIFY(chats->isAncestorOf(w.chatList));
        QCOMPARE(w.searchEdit->placeholderText(), QStringLiteral("Поиск чатов"));
        QCOMPARE(w.messageEdit->placeholderText(), QStringLiteral("Сообщение"));
        QCOMPARE(w.chatTitle->text(), QStringLiteral("Выберите чат"));
        for (const QString &text : {QStringLiteral("Выйти"), QStringLiteral("Позвонить"),
                                    QStringLiteral("Файл"), QStringLiteral("Отправить")})
            QVERIFY2(button(chats, text), qPrintable(text));
        auto *columns = qobject_cast<QHBoxLayout *>(chats->layout());
        QVERIFY(columns);
        QCOMPARE(columns->stretch(0), 1);
        QCOMPARE(columns->stretch(1), 3);
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
