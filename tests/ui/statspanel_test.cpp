// The statistics panel beside the form: its figures for known histories fed
// as progress records, the stop advice, the remembered test time, the chart,
// and a real job.
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <cmath>
#include <cstdio>

#include "platform/post.h"
#include "ui/statspanel.h"
#include "ui_test_support.h"

// Failures show the texts themselves.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace varnesk::testing {
namespace {

const QString kDash = QString::fromUtf8("\u2013");

TEST(StatsPanelText, NumbersRatesAndSpansAreWrittenOneWay) {
    const std::pair<double, const char*> grouped[] = {
        {0, "0"},           {0.4, "0"},          {999, "999"},           {1000, "1,000"},
        {1234567, "1,234,567"}, {-1234, "-1,234"}, {1e15, "1,000,000,000,000,000"},
        {9223372036854775807.0, "9,223,372,036,854,775,808"}};
    for (const auto& [v, want] : grouped) EXPECT_EQ(GroupedNumber(v), want) << v;
    EXPECT_EQ(GroupedNumber(NAN), kDash);

    const std::pair<double, const char*> rates[] = {{1234.4, "1,234"}, {100, "100"},      {12.345, "12.35"},
                                                    {1, "1.00"},       {0.012345, "0.0123"}, {0.5, "0.500"},
                                                    {0, "0"},          {3e-9, "0.00000000300"}};
    for (const auto& [v, want] : rates) EXPECT_EQ(RateText(v), want) << v;
    EXPECT_EQ(RateText(INFINITY), kDash);

    const std::pair<double, const char*> spans[] = {
        {0, "0 s"},           {0.25, "0.250 s"},       {2.5, "2.50 s"},        {9.996, "10 s"},
        {59.4, "59 s"},          {59.6, "1 min 00 s"},   {3599, "59 min 59 s"},
        {3600, "1 h 00 min"}, {86399, "23 h 59 min"},  {86400, "1 d 00 h"},    {90061, "1 d 01 h"},
        {1e9, "more than 1,000 days"}};
    for (const auto& [v, want] : spans) EXPECT_EQ(SpanText(v), want) << v;
    EXPECT_EQ(SpanText(-1), kDash);
    EXPECT_EQ(SpanText(NAN), kDash);
}

// Axis labels are written one way on each axis: the decimals the step
// needs, grouped like every figure.
TEST(StatsPanelText, AxisTicksAreWrittenOneWay) {
    struct Case {
        double value, step;
        const char* want;
    };
    const Case cases[] = {{0.01, 0.01, "0.01"}, {0.1, 0.1, "0.1"}, {1, 1, "1"},     {10, 10, "10"},
                          {100, 100, "100"},    {1000, 1000, "1,000"}, {1e6, 1e6, "1,000,000"},
                          {49870, 5, "49,870"}, {2.5, 0.5, "2.5"},  {3, 0.5, "3.0"},   {0, 0.2, "0.0"},
                          {-1500, 500, "-1,500"}};
    for (const Case& c : cases) EXPECT_EQ(TickText(c.value, c.step), c.want) << c.value;

    const std::pair<int, const char*> ends[] = {{3, "1.00\u00b710\u00b2\u2070"}, {7, "1.000000\u00b710\u00b2\u2070"}};
    for (const auto& [digits, want] : ends) EXPECT_EQ(PEndText(1e20, digits), QString::fromUtf8(want));
    EXPECT_EQ(PEndText(9.9996e20, 3), QString::fromUtf8("1.00\u00b710\u00b2\u00b9"));  // rounding carries
    EXPECT_EQ(PEndText(7, 2), "7.0");
}

// However short the span of p, the axis names at least its two ends.
TEST(StatsPanelText, ThePAxisAlwaysHasAtLeastTwoLabels) {
    const QFontMetrics fm(QApplication::font());
    struct Case {
        double pLo, pHi;
        const char* first;  // the first label, "" when it is a tick's
    } cases[] = {
        {1e9, 1e15, ""},
        {2e12, 3e12, ""},
        {1e20, 1e20 + 1e14, "1.000000\u00b710\u00b2\u2070"},
        {9.2e18, 9.21e18, "9.20\u00b710\u00b9\u2078"},
        {7.9e28, 7.9e28 + 1e15, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pLo);
        const double lo = std::log10(c.pLo), hi = std::log10(c.pHi);
        const std::vector<AxisLabel> labels = PAxisLabels(lo, hi, 60, 340, 410, fm);
        ASSERT_GE(labels.size(), 2u);
        EXPECT_NE(labels.front().text, labels.back().text);
        for (size_t i = 1; i < labels.size(); ++i) EXPECT_GT(labels[i].at, labels[i - 1].at + labels[i - 1].width);
        if (*c.first) {
            EXPECT_EQ(labels.front().text, QString::fromUtf8(c.first));
        }
    }
}

TEST(StatsPanelText, AdviceBeyondTheSievesReachSaysSo) {
    StopAdvice a;
    a.kind = StopAdvice::kKeepSieving;
    a.removalSeconds = 2;
    a.crossingP = 1e30;
    a.secondsToCrossing = 1e12;
    EXPECT_EQ(AdviceText(a, 30), "Keep sieving: it removes a base every 2.00 s, faster than a test (30 s). Sieving "
                                 "stays faster up to the largest p the sieve reaches (2^96).");
}

// A form whose clock the test sets, fed with progress records by hand.
class StatsPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        view = MakeView();
        prompts.Clear();
    }
    std::unique_ptr<HeldView> MakeView() {
        ViewOptions options;
        options.programPath = dir.filePath("varnesk").toStdString();
        options.timerPeriodMs = 20;
        options.workerThreads = 1;
        options.clock = [this] { return now; };
        auto v = std::make_unique<HeldView>(prompts, options);
        v->OnInitialUpdate();
        Pump();
        Pump();
        return v;
    }
    const CVarneskView::Controls& ui() const { return view->Ui(); }
    const CStatsPanel::Fields& panel() const { return view->Panel()->Ui(); }

    void StartNew(const char* endP) {
        ++attempt;
        ui().factorOutput->setText(dir.filePath(QString("factors%1.txt").arg(attempt)));
        ui().sieveOutput->setText(dir.filePath(QString("sieve%1.txt").arg(attempt)));
        ui().exponent->setText("1024");
        ui().bMin->setText("2");
        ui().bMax->setText("100000");
        if (endP) {
            if (!ui().useStartStop->isChecked()) ui().useStartStop->click();
            ui().endP->setText(endP);
        } else if (ui().useStartStop->isChecked()) {
            ui().useStartStop->click();
        }
        ui().startStop->click();
        ASSERT_TRUE(view->IsRunning());
    }
    void Record(double t, int64_t left, const std::string& p) {
        now = t;
        PostProgress(*view, static_cast<int32_t>(left), ParseUInt128(p).value);
    }
    static std::string P(double p) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.0f", p);
        return buf;
    }
    // Pixels near a colour in a picture of the chart.
    int ChartPixels(QRgb colour) {
        HistoryChart* chart = panel().chart;
        chart->resize(420, 300);
        const QImage image = chart->grab().toImage();
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb c = image.pixel(x, y);
                if (std::abs(qRed(c) - qRed(colour)) + std::abs(qGreen(c) - qGreen(colour)) +
                        std::abs(qBlue(c) - qBlue(colour)) < 60)
                    ++n;
            }
        return n;
    }

    QTemporaryDir dir;
    FakePrompts prompts;
    double now = 0;
    std::unique_ptr<HeldView> view;
    int attempt = 0;
};

TEST_F(StatsPanelTest, SteadyHistoryShowsItsRatesProgressAndFinalFigures) {
    EXPECT_TRUE(panel().toEndP->isHidden());
    now = 0;
    StartNew("1000000000000");
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_FALSE(panel().toEndP->isHidden());
    EXPECT_FALSE(panel().timeLeft->isHidden());
    EXPECT_EQ(ChartPixels(HistoryChart::kLeftColour), 0);
    // p rises by 10^8 a second and two bases go every 10 s.
    for (int i = 1; i <= 61; ++i) Record(10.0 * i, 50000 - 2 * i, P(1e9 * i));
    EXPECT_EQ(ui().currentP->text(), "61,000,000,000");
    EXPECT_EQ(ui().bLeft->text(), "49878");
    const std::pair<QLabel*, const char*> shown[] = {
        {panel().primesRecent, "3,978"},  // 10^8 / (1024 ln 4.6e10): the last 300 s
        {panel().primesAll, "4,043"},     // 10^8 / (1024 ln 3.1e10): since the first record
        {panel().pPerDayRecent, "0.00864"},
        {panel().pPerDayAll, "0.00864"},
        {panel().removedRecent, "720"},
        {panel().removedAll, "720"},
        {panel().elapsed, "10 min 10 s"},  // from the start, not from the first record
        {panel().left, "49,878"},
        {panel().timeLeft, "2 h 36 min"},  // (10^12 - 6.1e10) / 10^8 s
    };
    for (const auto& [label, want] : shown) EXPECT_EQ(label->text(), want) << label->objectName().toStdString();
    EXPECT_EQ(panel().toEndP->value(), 61);  // a new sieve starts at p = 0
    EXPECT_EQ(panel().toEndP->format(), "6.1 %");
    EXPECT_GT(ChartPixels(HistoryChart::kLeftColour), 100);
    EXPECT_GT(ChartPixels(HistoryChart::kRateColour), 100);
    // A test time adds its rate as a level line.
    EXPECT_EQ(ChartPixels(HistoryChart::kTestColour), 0);
    panel().testSeconds->setText("60");
    EXPECT_GT(ChartPixels(HistoryChart::kTestColour), 50);
    const HistoryChart::Curves curves = panel().chart->Sample(200);
    ASSERT_FALSE(curves.rate.empty());
    for (const QPointF& q : curves.rate) EXPECT_NEAR(q.y(), 720, 1e-6);

    // The last record passes End P; the end marker freezes the figures.
    Record(620, 49870, "1000000001029");
    now = 700;
    PostEnd(*view);
    EXPECT_EQ(panel().timeLeft->text(), "reached");
    EXPECT_EQ(panel().toEndP->format(), "100.0 %");
    EXPECT_EQ(panel().elapsed->text(), "11 min 40 s");
    EXPECT_EQ(panel().left->text(), "49,870");
    EXPECT_EQ(panel().state->text(), "Ended: the final figures of the job.");
    now = 900;
    Pump();
    EXPECT_EQ(panel().elapsed->text(), "11 min 40 s");

    // The next job starts from nothing.
    StartNew(nullptr);
    EXPECT_TRUE(view->Panel()->History().Empty());
    EXPECT_TRUE(panel().toEndP->isHidden());
    for (QLabel* l : {panel().primesRecent, panel().pPerDayAll, panel().removedAll, panel().left, panel().expected})
        EXPECT_EQ(l->text(), kDash) << l->objectName().toStdString();
    EXPECT_EQ(panel().elapsed->text(), "0 s");
    EXPECT_EQ(ChartPixels(HistoryChart::kLeftColour), 0);
}

TEST_F(StatsPanelTest, AJobThatCannotStartLeavesThePanelAsItWas) {
    view->startResult = false;
    ui().factorOutput->setText(dir.filePath("factors.txt"));
    ui().sieveOutput->setText(dir.filePath("sieve.txt"));
    ui().exponent->setText("1024");
    ui().bMin->setText("2");
    ui().bMax->setText("100000");
    ui().startStop->click();
    ASSERT_FALSE(view->IsRunning());
    EXPECT_FALSE(view->Panel()->Running());
    EXPECT_EQ(panel().state->text(), "No job has run yet.");
}

// The log ends a sieve with the command line's summary of the same records
// (as varnesk-cli's display test gives it), a packed K build without one.
TEST_F(StatsPanelTest, TheLogEndsAJobWithTheCommandLinesSummary) {
    StartNew(nullptr);
    PostRange(*view, 2, 1000000, 65536);
    Record(10, 250000, "999999868929");
    Record(11, 249000, "1999999868929");
    PostEnd(*view);
    const std::string last = ui().log->item(ui().log->count() - 1)->text().toStdString();
    EXPECT_EQ(last.substr(0, last.size() - 12),
              "Summary: P 999999868929 to 1999999868929, about 544248 primes, 1000 bases removed, 00:00:01, "
              "average 86.40 P/day");

    // No record, no summary.
    StartNew(nullptr);
    const int lines = ui().log->count();
    PostEnd(*view);
    EXPECT_EQ(ui().log->count(), lines);
}

// On a dark base the curves are drawn light enough to be seen; on a light
// one as they are.
TEST(StatsPanelColours, CurvesStandOutOfLightAndDarkBases) {
    for (QRgb colour : {HistoryChart::kLeftColour, HistoryChart::kExpectedColour, HistoryChart::kRateColour,
                        HistoryChart::kTestColour}) {
        EXPECT_EQ(HistoryChart::Legible(colour, Qt::white).rgb(), colour);
        for (const QColor base : {QColor(30, 30, 32), QColor(0, 0, 0), QColor(60, 60, 60)})
            EXPECT_GE(HistoryChart::Legible(colour, base).toHsl().lightness() - base.toHsl().lightness(), 100)
                << std::hex << colour;
    }
}

TEST_F(StatsPanelTest, ResumeTakesItsExponentFromTheRangeRecordAndMeasuresFromStartP) {
    WriteText(dir.filePath("in.txt"), "ABC $a^$b+1 // 1000\n2 1024\n4 1024\n");
    ui().resumeSieve->click();
    ui().sieveInput->setText(dir.filePath("in.txt"));
    ui().factorOutput->setText(dir.filePath("factors.txt"));
    ui().sieveOutput->setText(dir.filePath("out.txt"));
    ui().useStartStop->click();
    ui().startP->setText("10000000000");
    ui().endP->setText("20000000000");
    ui().startStop->click();
    ASSERT_TRUE(view->IsRunning());
    PostRange(*view, 2, 4, 1024);  // the exponent field held 0
    for (int t = 10; t <= 100; t += 10) Record(t, 2, P(1.2e10 + 1e7 * t));
    EXPECT_EQ(panel().primesAll->text(), "420");  // 10^7 / (1024 ln 1.255e10)
    EXPECT_EQ(panel().toEndP->format(), "30.0 %");
    EXPECT_EQ(panel().timeLeft->text(), "11 min 40 s");
    EXPECT_EQ(panel().removedAll->text(), "0");
}

// Far beyond 2^63: rates, share and chart come from the whole p, as the
// worker's sink carries it to the form.
TEST_F(StatsPanelTest, ResumeFarBeyond2To63ShowsItsRatesAndShare) {
    WriteText(dir.filePath("in.txt"), "ABC $a^$b+1 // 100000000000000000000\n2 1024\n4 1024\n");
    ui().resumeSieve->click();
    ui().sieveInput->setText(dir.filePath("in.txt"));
    ui().factorOutput->setText(dir.filePath("factors.txt"));
    ui().sieveOutput->setText(dir.filePath("out.txt"));
    ui().useStartStop->click();
    ui().startP->setText("100,000,000,000,000,000,000");
    ui().endP->setText("100000100000000000000");
    ui().startStop->click();
    ASSERT_TRUE(view->IsRunning());
    PostRange(*view, 2, 4, 1024);
    // p rises by 10^11 a second, in records posted the way the worker
    // posts them.
    const UInt128 from = ParseUInt128("100000000000000000000").value;
    for (int t = 0; t <= 300; t += 10) {
        now = t;
        PostProgress(view->Sink(), 2, from + static_cast<UInt128>(t) * 100000000000u);
        Pump();
    }
    EXPECT_EQ(ui().currentP->text(), "100,000,030,000,000,000,000");
    EXPECT_EQ(panel().pPerDayAll->text(), "8.64");
    EXPECT_EQ(panel().primesAll->text(), "2,120,579");  // 10^11 / (1024 ln 1.0000002e20)
    EXPECT_EQ(panel().toEndP->format(), "30.0 %");
    EXPECT_EQ(panel().timeLeft->text(), "11 min 40 s");
    const HistoryChart::Curves curves = panel().chart->Sample(200);
    ASSERT_GE(curves.left.size(), 2u);
    EXPECT_GT(curves.left.back().x(), curves.left.front().x());
}

TEST_F(StatsPanelTest, ExpectedSurvivorsStandBesideTheRealCount) {
    StartNew(nullptr);
    // A new sieve's first record, every base left at p = 0, then survivors
    // exactly A / ln p: the fit must give A back, and the chart starts at
    // the first p it can show.
    Record(0, 5000000, "0");
    const double a = 2.5e6;
    double p = 0;
    for (int i = 1; i <= 40; ++i) {
        p = 1e9 * std::pow(1.2, i);
        Record(5.0 * i, std::llround(a / std::log(p)), P(p));
    }
    const double expected = QString(panel().expected->text()).remove(',').toDouble();
    EXPECT_NEAR(expected, a / std::log(std::round(p)), 1.0);
    EXPECT_EQ(panel().left->text(), GroupedNumber(std::llround(a / std::log(p))));
    const HistoryChart::Curves curves = panel().chart->Sample(300);
    ASSERT_FALSE(curves.left.empty());
    EXPECT_NEAR(curves.left.front().x(), std::log10(1.2e9), 1e-9);
    EXPECT_GT(ChartPixels(HistoryChart::kLeftColour), 20);  // between the dashes of the expectation
}

// Bases c^m (m odd) cannot be prime: the panel counts them among the
// survivors and the expectation leaves them out, so that it still meets the
// survivors that follow the law.
TEST_F(StatsPanelTest, AlgebraicBasesAreCountedApartFromTheExpectation) {
    StartNew(nullptr);
    EXPECT_EQ(panel().algebraic->text(), kDash);
    Record(0, 5000000, "0");
    EXPECT_EQ(panel().algebraic->text(), "0");  // a sieve that reports none has none
    const double a = 2.5e6;
    double p = 0;
    for (int i = 1; i <= 40; ++i) {
        p = 1e9 * std::pow(1.2, i);
        const int32_t algebraic = 3000 - 50 * i;
        PostAlgebraic(*view, algebraic);
        Record(5.0 * i, std::llround(a / std::log(p)) + algebraic, P(p));
    }
    EXPECT_EQ(panel().algebraic->text(), "1,000");
    const double expected = QString(panel().expected->text()).remove(',').toDouble();
    EXPECT_NEAR(expected, a / std::log(std::round(p)), 1.0);
    EXPECT_EQ(panel().left->text(), GroupedNumber(std::llround(a / std::log(p)) + 1000));

    // The count stays with the ended job's figures; the next job's is its own.
    PostEnd(*view);
    EXPECT_EQ(panel().algebraic->text(), "1,000");
    StartNew(nullptr);
    EXPECT_EQ(panel().algebraic->text(), kDash);
}

// Histories made by the removal model: bases go at c / (p ln p) a second
// while a steady rate of primes lifts p, so the crossing solves
// p ln p = c T for a test of T seconds.
TEST_F(StatsPanelTest, StopAdviceSaysWhenTestingBecomesFaster) {
    const double c = 4e15, p0 = 1e13;
    EXPECT_EQ(panel().advice->text(), "When to stop: enter the primality test's time per candidate, in seconds.");
    StartNew(nullptr);
    double p = p0, removed = 0;
    auto feed = [&](int from, int to) {
        for (int t = from; t <= to; ++t) {
            Record(t, 1000000 - std::llround(removed), P(p));
            removed += c / (p * std::log(p));
            p += 1e9 * std::log(p) / std::log(p0);
        }
    };
    panel().testSeconds->setText("100");
    feed(1, 30);
    EXPECT_EQ(panel().advice->text(),
              "No advice yet: it needs at least 20 bases removed over 1 min 00 s of sieving.");
    feed(31, 3600);
    const double last = view->Panel()->History().Points().back().p;
    const double perRemoval = last * std::log(last) / c;

    struct Case {
        double test;
        bool keep;
    };
    for (const Case& k : {Case{perRemoval * 10, true}, Case{perRemoval * 1000, true}, Case{perRemoval / 10, false}}) {
        SCOPED_TRACE(k.test);
        panel().testSeconds->setText(QString::number(k.test, 'g', 12));  // takes effect without a new record
        const QString text = panel().advice->text();
        if (!k.keep) {
            EXPECT_TRUE(text.startsWith("Testing is now faster: sieving removes a base every ")) << text.toStdString();
            EXPECT_TRUE(text.endsWith(". Stop sieving and test the candidates.")) << text.toStdString();
            continue;
        }
        const QRegularExpressionMatch m =
            QRegularExpression("^Keep sieving: it removes a base every (.+), faster than a test \\((.+)\\)\\. Keep "
                               "sieving until about P \u2248 ([0-9,]+) \\(in about (.+)\\)\\.$")
                .match(text);
        ASSERT_TRUE(m.hasMatch()) << text.toStdString();
        EXPECT_EQ(m.captured(2), SpanText(k.test));
        // Where the crossing lies is the history's own test; here it must
        // lie beyond the last p.
        EXPECT_GT(m.captured(3).remove(',').toDouble(), last);
    }
    panel().testSeconds->setText("soon");
    EXPECT_EQ(panel().advice->text(), "When to stop: enter the primality test's time per candidate, in seconds.");
}

TEST_F(StatsPanelTest, TestTimeIsRememberedBesideTheSettingsWhichStayUnwritten) {
    panel().testSeconds->setText("42.5");
    view.reset();
    EXPECT_TRUE(QFile::exists(dir.filePath("varnesk-panel.ini")));
    EXPECT_FALSE(QFile::exists(dir.filePath("varnesk.ini")));  // written only when a job ends
    view = MakeView();
    EXPECT_EQ(panel().testSeconds->text(), "42.5");
    EXPECT_DOUBLE_EQ(view->Panel()->TestSeconds(), 42.5);
}

TEST_F(StatsPanelTest, DaysLongHistoryStaysSmallToKeepAndToDraw) {
    StartNew(nullptr);
    // Three days of records every 5 seconds.
    constexpr int kRecords = 3 * 86400 / 5;
    for (int i = 1; i <= kRecords; ++i)
        view->Panel()->AddRecord(5.0 * i, 1e12 + 1e9 * i, 10000000 - i / 10);
    const auto& points = view->Panel()->History().Points();
    EXPECT_LE(points.size(), 4000u);
    EXPECT_EQ(points.back().t, 5.0 * kRecords);
    const HistoryChart::Curves curves = panel().chart->Sample(400);
    EXPECT_LE(curves.left.size(), 401u);
    EXPECT_LE(curves.rate.size(), 400u / 3 + 2);
    EXPECT_GT(ChartPixels(HistoryChart::kLeftColour), 100);
}

// A real job: the panel follows the records that the form shows.
TEST(StatsPanelJob, FollowsARealJobAndKeepsItsFinalFigures) {
    QTemporaryDir dir;
    FakePrompts prompts;
    CVarneskView view(prompts, FastOptions(dir));
    view.OnInitialUpdate();
    Pump();
    const auto& ui = view.Ui();
    const auto& panel = view.Panel()->Ui();
    StartNewJob(ui, dir);
    ASSERT_TRUE(view.IsRunning());
    constexpr int kWaitMs = 60000;
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.Panel()->History().Points().size() >= 5; }, kWaitMs));
    for (QLabel* l : {panel.primesRecent, panel.primesAll, panel.pPerDayRecent, panel.pPerDayAll, panel.removedAll,
                      panel.elapsed, panel.expected})
        EXPECT_NE(l->text(), kDash) << l->objectName().toStdString();
    EXPECT_EQ(panel.left->text(), GroupedNumber(ui.bLeft->text().toDouble()));
    EXPECT_NE(panel.algebraic->text(), kDash);
    EXPECT_FALSE(panel.chart->Sample(300).left.empty());

    ui.startStop->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.IsRunning(); }, kWaitMs));
    EXPECT_EQ(panel.state->text(), "Ended: the final figures of the job.");
    // The last record before the end marker is the job's final one.
    EXPECT_EQ(panel.left->text(), GroupedNumber(ui.bLeft->text().toDouble()));
    EXPECT_EQ(view.Panel()->History().Points().back().p, ui.currentP->text().remove(',').toDouble());
    EXPECT_NE(panel.elapsed->text(), kDash);
}

}  // namespace
}  // namespace varnesk::testing
