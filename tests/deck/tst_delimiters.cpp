#include "deck/cardtable.h"
#include "deck/delimiters.h"
#include "deck/guards.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Loads raw lines into column 0 as the loader does and splits them.
qint16 Split(CardTable &table, const QStringList &lines, DelimiterMode mode)
{
    for (int row = 0; row < lines.size(); ++row)
        table.setCell(row, 0, lines[row]);
    return SplitCards(table, qint16(lines.size() - 1), mode);
}

QStringList ListItems(const CardTable &table, int lastRow)
{
    QStringList items;
    for (int row = 0; row <= lastRow; ++row)
        items.append(ListItemText(table, row));
    return items;
}

const QStringList kExample = {u"apple,りんご"_s, u"dog 犬"_s, u"cat。ねこ"_s};

} // namespace

class TestDelimiters : public QObject
{
    Q_OBJECT

private slots:
    void splitsOneLine_data();
    void splitsOneLine();
    void workedExample_data();
    void workedExample();
    void pairsLines_data();
    void pairsLines();
    void pairingKeepsRowsAboveTheDeck();
    void tableChecksItsRows();
    void cutsLongListEntries_data();
    void cutsLongListEntries();
};

void TestDelimiters::splitsOneLine_data()
{
    QTest::addColumn<DelimiterMode>("mode");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QString>("answer");

    const auto P = DelimiterMode::Punctuation;
    const auto B = DelimiterMode::Blank;
    QTest::newRow("empty line") << P << QString() << QString() << QString();
    QTest::newRow("several commas: first one") << P << u"a,b,c"_s << u"a"_s << u"b,c"_s;
    QTest::newRow("leading comma") << P << u",b"_s << QString() << u"b"_s;
    QTest::newRow("trailing comma") << P << u"a,"_s << u"a"_s << QString();
    QTest::newRow("full-width comma is no delimiter") << P << u"a，b"_s << u"a，b"_s << QString();
    QTest::newRow("comma beats an earlier full stop") << P << u"a.b,c"_s << u"a.b"_s << u"c"_s;
    QTest::newRow("full stop beats ideographic comma") << P << u"a、b.c"_s << u"a、b"_s << u"c"_s;
    QTest::newRow("ideographic comma beats full stop") << P << u"a。b、c"_s << u"a。b"_s << u"c"_s;
    QTest::newRow("blanks kept") << P << u" a , b "_s << u" a "_s << u" b "_s;
    QTest::newRow("two blanks: first one") << B << u"a  b"_s << u"a"_s << u" b"_s;
    QTest::newRow("ASCII blank beats earlier ideographic space") << B << u"a　b c"_s << u"a　b"_s << u"c"_s;
    QTest::newRow("ideographic space") << B << u"犬　dog"_s << u"犬"_s << u"dog"_s;
    QTest::newRow("comma is no blank") << B << u"a,b"_s << u"a,b"_s << QString();
    QTest::newRow("surrogate pair stays whole") << P << u"😀,x"_s << u"😀"_s << u"x"_s;
}

void TestDelimiters::splitsOneLine()
{
    QFETCH(DelimiterMode, mode);
    QFETCH(QString, line);
    QFETCH(QString, question);
    QFETCH(QString, answer);
    CardTable table;
    table.setCell(0, 1, u"old answer"_s);
    QCOMPARE(Split(table, {line}, mode), qint16(0));
    QCOMPARE(table.cell(0, 0), question);
    QCOMPARE(table.cell(0, 1), answer);
}

void TestDelimiters::workedExample_data()
{
    QTest::addColumn<DelimiterMode>("mode");
    QTest::addColumn<int>("lastCard");
    QTest::addColumn<QStringList>("items");

    QTest::newRow("punctuation") << DelimiterMode::Punctuation << 2
                                 << QStringList{u"apple,りんご"_s, u"dog 犬,"_s, u"cat,ねこ"_s};
    QTest::newRow("blank") << DelimiterMode::Blank << 2
                           << QStringList{u"apple,りんご,"_s, u"dog,犬"_s, u"cat。ねこ,"_s};
    QTest::newRow("line pairs") << DelimiterMode::LinePairs << 1
                                << QStringList{u"apple,りんご,dog 犬"_s, u"cat。ねこ,"_s};
}

void TestDelimiters::workedExample()
{
    QFETCH(DelimiterMode, mode);
    QFETCH(int, lastCard);
    QFETCH(QStringList, items);
    CardTable table;
    const qint16 last = Split(table, kExample, mode);
    QCOMPARE(int(last), lastCard);
    QCOMPARE(ListItems(table, last), items);
}

void TestDelimiters::pairsLines_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("lastCard");
    QTest::addColumn<QString>("lastQuestion");
    QTest::addColumn<QString>("lastAnswer");

    QTest::newRow("one line") << 1 << 0 << u"L0"_s << QString();
    QTest::newRow("two lines") << 2 << 0 << u"L0"_s << u"L1"_s;
    QTest::newRow("300 lines") << 300 << 149 << u"L298"_s << u"L299"_s;
    QTest::newRow("301 lines") << 301 << 150 << u"L300"_s << QString();
}

void TestDelimiters::pairsLines()
{
    QFETCH(int, lines);
    QFETCH(int, lastCard);
    QFETCH(QString, lastQuestion);
    QFETCH(QString, lastAnswer);
    QStringList raw;
    for (int i = 0; i < lines; ++i)
        raw.append(u"L%1"_s.arg(i));
    CardTable table;
    for (int row = 0; row < CardTable::kRows; ++row)
        table.setCell(row, 1, u"stale"_s);
    const qint16 last = Split(table, raw, DelimiterMode::LinePairs);
    QCOMPARE(int(last), lastCard);
    QCOMPARE(table.cell(last, 0), lastQuestion);
    QCOMPARE(table.cell(last, 1), lastAnswer);
    for (int card = 0; card < last; ++card) {
        QCOMPARE(table.cell(card, 0), raw[2 * card]);
        QCOMPARE(table.cell(card, 1), raw[2 * card + 1]);
    }
}

void TestDelimiters::pairingKeepsRowsAboveTheDeck()
{
    CardTable table;
    table.setCell(3, 1, u"earlier answer"_s);
    Split(table, {u"a"_s, u"b"_s, u"c"_s, u"d"_s}, DelimiterMode::LinePairs);
    QCOMPARE(table.cell(2, 0), u"c"_s); // raw lines stay above the deck
    QCOMPARE(table.cell(3, 0), u"d"_s);
    QCOMPARE(table.cell(3, 1), u"earlier answer"_s);
}

void TestDelimiters::tableChecksItsRows()
{
    CardTable table;
    QVERIFY_THROWS_EXCEPTION(RunTimeError, table.cell(-1, 0));
    QVERIFY_THROWS_EXCEPTION(RunTimeError, table.cell(301, 0));
    QVERIFY_THROWS_EXCEPTION(RunTimeError, table.setCell(0, 2, QString()));
    table.setCell(300, 1, u"last"_s);
    QCOMPARE(table.cell(300, 1), u"last"_s);
}

void TestDelimiters::cutsLongListEntries_data()
{
    QTest::addColumn<QString>("question");
    QTest::addColumn<QString>("entry");

    const QString full(kMaxListItemChars - 2, u'q');
    QTest::newRow("fits") << full << full + u",a"_s;
    QTest::newRow("answer cut") << full + u"q"_s << full + u"q,"_s;
    QTest::newRow("question cut") << full + u"qqq"_s << full + u"qq"_s;
    QTest::newRow("surrogate pair across the cut goes whole") << full + u"q😀"_s << full + u"q"_s;
}

void TestDelimiters::cutsLongListEntries()
{
    QFETCH(QString, question);
    QFETCH(QString, entry);
    CardTable table;
    table.setCell(0, 0, question);
    table.setCell(0, 1, u"a"_s);
    QCOMPARE(ListItemText(table, 0), entry);
}

QTEST_GUILESS_MAIN(TestDelimiters)
#include "tst_delimiters.moc"
