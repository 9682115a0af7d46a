#include "app/window.h"
#include "calls/nativecalls.h"
#include "tests/support/testutil.h"
#include "web/servicetesthook.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

QPushButton *button(const QWidget *page, const QString &text) {
    for (QPushButton *b : page->findChildren<QPushButton *>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

// Counts every open of a FIFO for reading, and lets each such reader go at once (it reads end of
// file), so a label that tries to load an image from it is seen rather than hanging the test.
class FifoWatch {
public:
    explicit FifoWatch(const QString &path)
        : name(QFile::encodeName(path)) {
        ::mkfifo(name.constData(), 0600);
        watcher = std::thread([this] {
            while (!stop.load()) {
                const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    ++opens;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~FifoWatch() {
        stop = true;
        watcher.join();
    }
    std::atomic<int> opens{0};

private:
    QByteArray name;
    std::atomic<bool> stop{false};
    std::thread watcher;
};

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

    // Every text from the network or a file is shown as given, through every surface that shows
    // one: nothing is read from the named file, no markup is laid out.
    void networkTextIsPlain_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("img of a fifo") << QStringLiteral("<img src=\"%1\">");
        QTest::newRow("bold") << QStringLiteral("<b>Борис</b>");
        QTest::newRow("huge table") << QStringLiteral("<table>") +
                                           QStringLiteral("<tr><td>x</td></tr>").repeated(1000) +
                                           QStringLiteral("</table>");
        QTest::newRow("entity") << QStringLiteral("&lt;&amp;&#x41;");
    }
    void networkTextIsPlain() {
        QTemporaryDir dir;
        FifoWatch fifo(dir.filePath(QStringLiteral("fifo")));
        QFETCH(QString, text);
        text.replace(QStringLiteral("%1"), dir.filePath(QStringLiteral("fifo")));
        Window w;
        w.show();
        QStringList boxes;
        auto *closer = new QTimer(&w);
        connect(closer, &QTimer::timeout, &w, [&boxes] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            box->grab();
            boxes << QString::number(box->textFormat()) + QLatin1Char('|') + box->text();
            testutil::closeModalBox();
        });
        closer->start(20);

        // The sign-in page, the chat title and the status line, each from its own reply.
        w.codeLabel->setText(QStringLiteral("Код: ") + text);
        w.loginStatus->setText(text);
        w.rebuildChats(QJsonObject{{"chats", QJsonArray{QJsonObject{{"id", "c"}, {"name", text}}}}},
                       {});
        w.chatList->setCurrentRow(0);
        w.rebuildChats({}, text);
        // An incoming call from a peer named so, and a call error saying so.
        NativeCalls &c = *w.calls;
        QStringList balloons;
        c.balloonShown = [&balloons](const QString &title, const QString &, auto, int) {
            balloons << title;
        };
        c.sessionUserId = QStringLiteral("u1");
        c.sid = QStringLiteral("sidA");
        c.connected = true;
        const QJsonArray members{
            QJsonObject{{"userId", "u2"}, {"name", text}, {"state", "JOINED"}},
            QJsonObject{{"userId", "u1"}, {"name", "u1"}, {"state", "INVITED"}}};
        c.update({{"id", "c1"}, {"state", "RINGING"}, {"callerId", "u2"}, {"members", members}});
        QCOMPARE(c.titleLabel.text(), text);
        QVERIFY(c.membersLabel.text().contains(text));
        QCOMPARE(balloons, QStringList{QStringLiteral("Звонит ") + text});
        const QList<QLabel *> labels{w.codeLabel,       w.loginStatus, w.chatTitle,
                                     w.statusLabel,     &c.titleLabel, &c.membersLabel,
                                     &c.callStatusLabel};
        for (QLabel *label : labels)
            label->grab();
        QCOMPARE(w.chatTitle->text(), text);
        QCOMPARE(w.statusLabel->text(), text);
        c.handle(QStringLiteral("42") +
                 QString::fromUtf8(
                     QJsonDocument(QJsonArray{"native_call_error", QJsonObject{{"message", text}}})
                         .toJson(QJsonDocument::Compact)));
        QCOMPARE(fifo.opens.load(), 0);
        QCOMPARE(boxes, QStringList{QStringLiteral("0|") + text});
        for (QLabel *label : labels)
            QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->text().left(40)));
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
