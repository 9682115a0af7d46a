// The row-size cache behind the chat and message lists: same sizes as the default delegate, keyed
// by what changes them, and bounded.
#include "chat/rowdelegate.h"

#include <QListWidget>
#include <QStyleOptionViewItem>
#include <QTest>

namespace {

QStyleOptionViewItem optionFor(const QListWidget &list, int width) {
    QStyleOptionViewItem option;
    option.initFrom(list.viewport());
    option.rect = QRect(0, 0, width, 20);
    option.features |= QStyleOptionViewItem::WrapText;
    return option;
}

} // namespace

class RowDelegateTest : public QObject {
    Q_OBJECT
private:
    QListWidget list;
    chat::CachedRowDelegate *delegate = nullptr;
    QStyledItemDelegate plain;

private Q_SLOTS:
    void initTestCase() {
        list.setWordWrap(true);
        list.resize(400, 300);
        delegate = chat::CachedRowDelegate::of(&list);
        QCOMPARE(chat::CachedRowDelegate::of(&list), delegate);
        QCOMPARE(list.itemDelegate(), delegate);
        list.addItems(
            {QStringLiteral("Вы  ·  коротко"),
             QStringLiteral("Борис  ·  ") +
                 QString(60, QLatin1Char('w')).replace(QLatin1String("ww"), QLatin1String("w ")),
             QString()});
    }

    void sizesAreTheDefaultDelegates_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("width");
        QTest::newRow("short, wide") << 0 << 380;
        QTest::newRow("long, narrow") << 1 << 90;
        QTest::newRow("empty") << 2 << 200;
    }
    void sizesAreTheDefaultDelegates() {
        QFETCH(int, row);
        QFETCH(int, width);
        const QModelIndex index = list.model()->index(row, 0);
        const QStyleOptionViewItem option = optionFor(list, width);
        const QSize expected = plain.sizeHint(option, index);
        QCOMPARE(delegate->sizeHint(option, index), expected);
        QCOMPARE(delegate->sizeHint(option, index), expected); // from the cache
        delegate->nextGeneration();
        QCOMPARE(delegate->sizeHint(option, index), expected); // from the older generation
    }

    void widthAndTextAreKeys() {
        const QModelIndex longRow = list.model()->index(1, 0);
        const QSize wide = delegate->sizeHint(optionFor(list, 380), longRow);
        const QSize narrow = delegate->sizeHint(optionFor(list, 90), longRow);
        QVERIFY2(narrow.height() > wide.height(), "a narrower row must wrap onto more lines");

        const QModelIndex shortRow = list.model()->index(0, 0);
        const QSize before = delegate->sizeHint(optionFor(list, 90), shortRow);
        list.item(0)->setText(list.item(1)->text());
        QCOMPARE(delegate->sizeHint(optionFor(list, 90), shortRow), narrow);
        list.item(0)->setText(QStringLiteral("Вы  ·  коротко"));
        QCOMPARE(delegate->sizeHint(optionFor(list, 90), shortRow), before);
    }

    // Bounded both across rebuilds and when resizing between them asks for rows at many widths.
    void bounded() {
        QListWidget many;
        auto *cache = chat::CachedRowDelegate::of(&many);
        for (int rebuild = 0; rebuild < 6; ++rebuild) {
            cache->nextGeneration();
            many.clear();
            for (int i = 0; i < 100; ++i)
                many.addItem(QStringLiteral("сообщение %1 / %2").arg(i).arg(rebuild));
            for (int i = 0; i < many.count(); ++i)
                cache->sizeHint(optionFor(many, 300), many.model()->index(i, 0));
            QVERIFY2(cache->cachedCount() <= 200, "more than two rebuilds held");
        }
        for (int width = 1; width <= 60000; ++width)
            cache->sizeHint(optionFor(many, width), many.model()->index(0, 0));
        QVERIFY2(cache->cachedCount() <= 100000, qPrintable(QString::number(cache->cachedCount())));
    }
};

QTEST_MAIN(RowDelegateTest)
#include "tst_rowdelegate.moc"
