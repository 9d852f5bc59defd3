#include "drill/fontfit.h"

#include <QTest>

namespace {

constexpr float F = 4.3f;
enum class Label { Question, Answer };

float Fit(Proportion p, Label label, int length, float w0, float w1)
{
    return label == Label::Question ? QuestionFontSize(p, length, w0, F)
                                    : AnswerFontSize(p, length, w0, w1, F);
}

// What a cell's divisor gives, computed the way the table is defined.
float Expected(float width, double divisor)
{
    return static_cast<float>(double(width) / divisor);
}

} // namespace

class TestFontFit : public QObject
{
    Q_OBJECT

private slots:
    void workedExamples_data();
    void workedExamples();
    void bandEdges_data();
    void bandEdges();
    void zeroWidthGivesZero();
};

void TestFontFit::workedExamples_data()
{
    QTest::addColumn<Proportion>("proportion");
    QTest::addColumn<Label>("label");
    QTest::addColumn<int>("length");
    QTest::addColumn<float>("size");

    const auto OneTwo = Proportion::OneTwo, OneOne = Proportion::OneOne, TwoOne = Proportion::TwoOne;
    const auto Q = Label::Question, A = Label::Answer;
    QTest::newRow("1:1 question empty") << OneOne << Q << 0 << 139.53488159179688f;
    QTest::newRow("1:1 question 5") << OneOne << Q << 5 << 109.09091186523438f;
    QTest::newRow("1:1 question 6") << OneOne << Q << 6 << 92.30769348144531f;
    QTest::newRow("1:1 answer 6") << OneOne << A << 6 << 80.0f;
    QTest::newRow("1:1 answer 7") << OneOne << A << 7 << 80.0f;
    QTest::newRow("1:2 question 2") << OneTwo << Q << 2 << 93.02325439453125f;
    QTest::newRow("1:2 question 4") << OneTwo << Q << 4 << 98.36065673828125f;
    QTest::newRow("1:2 question 8") << OneTwo << Q << 8 << 48.0f;
    QTest::newRow("1:2 question 9") << OneTwo << Q << 9 << 53.09734344482422f;
    QTest::newRow("1:2 question 30") << OneTwo << Q << 30 << 40.268455505371094f;
    QTest::newRow("1:2 answer 3") << OneTwo << A << 3 << 139.53488159179688f;
    QTest::newRow("1:2 answer 40") << OneTwo << A << 40 << 57.14285659790039f;
    QTest::newRow("2:1 question 11") << TwoOne << Q << 11 << 57.14285659790039f;
    QTest::newRow("2:1 answer 4") << TwoOne << A << 4 << 92.30769348144531f;
    QTest::newRow("2:1 answer 5") << TwoOne << A << 5 << 80.0f;
}

void TestFontFit::workedExamples()
{
    QFETCH(Proportion, proportion);
    QFETCH(Label, label);
    QFETCH(int, length);
    QFETCH(float, size);
    QCOMPARE(Fit(proportion, label, length, 600.0f, 600.0f), size);
}

// Every band edge, with the two widths different so that a cell reading the wrong
// label's width shows.
void TestFontFit::bandEdges_data()
{
    QTest::addColumn<Proportion>("proportion");
    QTest::addColumn<Label>("label");
    QTest::addColumn<int>("length");
    QTest::addColumn<float>("width");
    QTest::addColumn<double>("divisor");

    const float W0 = 700.0f, W1 = 500.0f;
    const double F15 = double(F) * 1.5;
    struct Row
    {
        Proportion p;
        Label label;
        int length;
        float width;
        double divisor;
    };
    const auto OneTwo = Proportion::OneTwo, OneOne = Proportion::OneOne, TwoOne = Proportion::TwoOne;
    const auto Q = Label::Question, A = Label::Answer;
    const Row rows[] = {
        // question, 1:2
        {OneTwo, Q, 3, W0, F15},
        {OneTwo, Q, 4, W0, 4 * 1.4 + 0.5},
        {OneTwo, Q, 5, W0, 5 * 1.5 + 0.5},
        {OneTwo, Q, 8, W0, 8 * 1.5 + 0.5},
        {OneTwo, Q, 9, W0, 9 * 1.2 + 0.5},
        {OneTwo, Q, 12, W0, 12 * 1.2 + 0.5},
        {OneTwo, Q, 13, W0, 14.9},
        // question, 1:1
        {OneOne, Q, 3, W0, F},
        {OneOne, Q, 4, W0, 4 * 1.4 + 0.5},
        {OneOne, Q, 5, W0, 5.5},
        {OneOne, Q, 6, W0, 6.5},
        {OneOne, Q, 7, W0, 7.5},
        {OneOne, Q, 12, W0, 12.5},
        {OneOne, Q, 13, W0, 12.5},
        // question, 2:1
        {TwoOne, Q, 3, W0, F},
        {TwoOne, Q, 4, W0, 4 * 1.4 + 0.5},
        {TwoOne, Q, 10, W0, 10.5},
        {TwoOne, Q, 11, W0, 10.5},
        {TwoOne, Q, 13, W0, 10.5},
        // answer, 1:2
        {OneTwo, A, 0, W1, F},
        {OneTwo, A, 3, W1, F},
        {OneTwo, A, 4, W0, 4 * 1.4 + 0.5},
        {OneTwo, A, 5, W0, 5.5},
        {OneTwo, A, 6, W0, 6.5},
        {OneTwo, A, 10, W0, 10.5},
        {OneTwo, A, 11, W0, 10.5},
        {OneTwo, A, 13, W0, 10.5},
        // answer, 1:1
        {OneOne, A, 3, W0, F},
        {OneOne, A, 4, W0, 4 * 1.4 + 0.5},
        {OneOne, A, 5, W0, 5.5},
        {OneOne, A, 6, W0, 7.5},
        {OneOne, A, 7, W0, 7.5},
        {OneOne, A, 12, W0, 12.5},
        {OneOne, A, 13, W0, 12.5},
        // answer, 2:1
        {TwoOne, A, 3, W1, F15},
        {TwoOne, A, 4, W0, 4 * 1.5 + 0.5},
        {TwoOne, A, 5, W0, 5 * 1.4 + 0.5},
        {TwoOne, A, 8, W0, 8 * 1.4 + 0.5},
        {TwoOne, A, 9, W0, 9 * 1.2 + 0.5},
        {TwoOne, A, 12, W0, 12 * 1.2 + 0.5},
        {TwoOne, A, 13, W0, 14.9},
        {TwoOne, A, 500, W0, 14.9},
    };
    const char *names[] = {"1:2", "1:1", "2:1"};
    for (const Row &row : rows) {
        QTest::addRow("%s %s %d", names[int(row.p)], row.label == Q ? "question" : "answer", row.length)
            << row.p << row.label << row.length << row.width << row.divisor;
    }
}

void TestFontFit::bandEdges()
{
    QFETCH(Proportion, proportion);
    QFETCH(Label, label);
    QFETCH(int, length);
    QFETCH(float, width);
    QFETCH(double, divisor);
    QCOMPARE(Fit(proportion, label, length, 700.0f, 500.0f), Expected(width, divisor));
}

void TestFontFit::zeroWidthGivesZero()
{
    for (Proportion p : {Proportion::OneTwo, Proportion::OneOne, Proportion::TwoOne}) {
        QCOMPARE(QuestionFontSize(p, 7, 0.0f, F), 0.0f);
        QCOMPARE(AnswerFontSize(p, 2, 0.0f, 0.0f, F), 0.0f);
    }
}

QTEST_GUILESS_MAIN(TestFontFit)
#include "tst_fontfit.moc"
