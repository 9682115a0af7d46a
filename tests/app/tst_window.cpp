#include "app/window.h"
#include "tests/support/testutil.h"

#include <QStackedWidget>
#include <QTest>

class WindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { testutil::isolateUserData(); }

    void startsOnSignInPageWithFixedGeometry() {
        Window w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Tovik Messenger"));
        QCOMPARE(w.size(), QSize(1100, 760));
        QCOMPARE(w.minimumSize(), QSize(720, 500));
        QCOMPARE(w.pages->count(), 2);
        QCOMPARE(w.pages->currentIndex(), 0);
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
