#include "deck/guards.h"

#include <QTest>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

// The guard's message, or "" when it lets the value through.
template <typename F> QString Failure(F guarded)
{
    try {
        guarded();
        return {};
    } catch (const RunTimeError &error) {
        return error.message();
    }
}

} // namespace

class TestGuards : public QObject
{
    Q_OBJECT

private slots:
    void int16_data();
    void int16();
    void divide_data();
    void divide();
};

void TestGuards::int16_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("failure");
    const QString overflow = u"オーバーフローしました。"_s;
    QTest::newRow("largest") << 32767 << QString();
    QTest::newRow("one above") << 32768 << overflow;
    QTest::newRow("smallest") << -32768 << QString();
    QTest::newRow("one below") << -32769 << overflow;
}

void TestGuards::int16()
{
    QFETCH(int, value);
    QFETCH(QString, failure);
    QCOMPARE(Failure([value] { CheckedInt16(value); }), failure);
    QCOMPARE(Failure([value] { CheckedAdd16(0, value); }), failure);
    QCOMPARE(Failure([value] { CheckedSub16(0, -value); }), failure);
}

void TestGuards::divide_data()
{
    QTest::addColumn<double>("dividend");
    QTest::addColumn<double>("divisor");
    QTest::addColumn<QString>("failure");
    const double huge = std::numeric_limits<double>::max();
    const double infinity = std::numeric_limits<double>::infinity();
    QTest::newRow("ordinary") << 7.0 << 2.0 << QString();
    QTest::newRow("by zero") << 1.0 << 0.0 << u"0 で除算しました。"_s;
    QTest::newRow("zero by zero") << 0.0 << 0.0 << u"0 で除算しました。"_s;
    QTest::newRow("too large") << huge << 0.5 << u"オーバーフローしました。"_s;
    QTest::newRow("infinity by infinity") << infinity << infinity << u"浮動小数点数の演算が無効です。"_s;
}

void TestGuards::divide()
{
    QFETCH(double, dividend);
    QFETCH(double, divisor);
    QFETCH(QString, failure);
    QCOMPARE(Failure([=] { CheckedDivide(dividend, divisor); }), failure);
}

QTEST_GUILESS_MAIN(TestGuards)
#include "tst_guards.moc"
