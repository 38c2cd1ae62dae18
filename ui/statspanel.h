// The statistics panel beside the form: rates over the last minutes and
// since the start, elapsed time, progress toward End P, the survivors the
// model expects, the advice on when to stop, and a chart of the job's
// history. Fed by the same progress records that the form shows.
#pragma once
#include <QFontMetrics>
#include <QGroupBox>
#include <QPointF>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/sievestats.h"
#include "platform/numparse.h"

class QLabel;
class QLineEdit;
class QProgressBar;

namespace varnesk {

// Every figure of the panel is written the same way: whole numbers with a
// comma between groups of three digits ("1,234,567"), small rates with
// three significant digits.
QString GroupedNumber(double value);
QString RateText(double value);
// An axis tick: the decimals that the step between ticks needs, grouped
// like every figure ("0.01", "10", "1,000"; "49,870" or "2.5").
QString TickText(double value, double step);
// p as "1.00000·10²⁰" with `digits` significant digits.
QString PEndText(double p, int digits);
// The ticks of the p axis (log10 p) from lo to hi.
std::vector<double> PAxisTicks(double lo, double hi);
// The labels under the p axis: the ticks that do not touch each other, or,
// when fewer than two fit, the two ends with the digits that tell them
// apart. `at` is the label's left edge in the widget.
struct AxisLabel {
    double at;
    double width;
    QString text;
};
std::vector<AxisLabel> PAxisLabels(double lo, double hi, double plotLeft, double plotWidth, double widgetWidth,
                                   const QFontMetrics& fm);
// "0.250 s", "45 s", "12 min 05 s", "3 h 20 min", "5 d 03 h".
QString SpanText(double seconds);
// The plain sentence for a verdict; testSeconds <= 0 asks for the time.
QString AdviceText(const StopAdvice& advice, double testSeconds);

// Bases left and the removal rate against p on a logarithmic axis. Drawn
// from at most one point per few pixels, so that the cost of a paint stays
// bounded however long the job has run.
class HistoryChart : public QWidget {
    Q_OBJECT
public:
    explicit HistoryChart(const SieveHistory& history, QWidget* parent = nullptr);

    struct Curves {
        std::vector<QPointF> left;  // (log10 p, bases left)
        std::vector<QPointF> rate;  // (log10 p, bases removed per hour)
    };
    // The curves over a plot `columns` pixels wide; the rate is drawn on a
    // logarithmic scale.
    Curves Sample(int columns) const;
    // A test's time per candidate, drawn as its rate; 0: none.
    void SetTestSeconds(double seconds) {
        if (seconds != testSeconds_) update();
        testSeconds_ = seconds;
    }

    // In lines and characters of the font, so that the chart grows with it.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The curves' colours on a light background; on a dark one they are
    // drawn lighter (Legible), so that every curve stands out of the base.
    static constexpr QRgb kLeftColour = 0xff1f5fbf;
    static constexpr QRgb kExpectedColour = 0xff9a9a9a;
    static constexpr QRgb kRateColour = 0xffd0501a;
    static constexpr QRgb kTestColour = 0xff2e8b3a;
    // colour, or a lighter or darker shade of it, far enough in lightness
    // from the background base to be seen.
    static QColor Legible(QRgb colour, const QColor& base);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const SieveHistory& history_;
    double testSeconds_ = 0;
};

class CStatsPanel : public QGroupBox {
    Q_OBJECT
public:
    struct Fields {
        QLabel* state;
        QLabel* primesRecent;
        QLabel* primesAll;
        QLabel* pPerDayRecent;
        QLabel* pPerDayAll;
        QLabel* removedRecent;
        QLabel* removedAll;
        QLabel* elapsed;
        QLabel* left;
        QLabel* expected;
        QLabel* algebraic;
        QLabel* endPLabel;
        QProgressBar* toEndP;
        QLabel* timeLeftLabel;
        QLabel* timeLeft;
        QLineEdit* testSeconds;
        QLabel* advice;
        HistoryChart* chart;
    };

    explicit CStatsPanel(QWidget* parent = nullptr);

    // A job starts at `now` (seconds on any steady clock). fromP is where
    // its p starts, none when only its first record will tell; endP 0 when
    // no End P was set. A packed K build has no bases to count.
    void StartJob(double now, int32_t exponent, bool sieve, std::optional<UInt128> fromP, UInt128 endP);
    // A resume learns its exponent from its input file.
    void SetExponent(int32_t exponent);
    // p is kept whole as well: the share toward End P of a narrow range far
    // above 2^53 is a difference that doubles cannot hold.
    void AddRecord(double now, UInt128 p, int64_t left);
    // The algebraic bases among the survivors, as the worker counts them
    // before each progress record; none until it does.
    void SetAlgebraic(int64_t left);
    void EndJob(double now);

    // Where the test time is remembered; loads it from there.
    void SetSettingsFile(const QString& path);
    // 0 when the field holds no positive number.
    double TestSeconds() const;

    const SieveHistory& History() const { return history_; }
    // The command line's "Summary: ..." line for the job's records; empty
    // before the first record and for a packed K build.
    std::string SummaryLine() const;
    // The p the job's records went through: from where it started (its first
    // record when that is unknown) to its last record; none before one came.
    std::optional<std::pair<UInt128, UInt128>> SievedP() const;
    const Fields& Ui() const { return ui_; }
    bool Running() const { return running_; }

    // The "last minutes" of the rates.
    static constexpr double kRecentSeconds = 300;

private:
    void Refresh();
    void RefreshAdvice();
    void OnTestSecondsEdited();

    Fields ui_{};
    SieveHistory history_{0};
    int32_t exponent_ = 0;
    QString settingsFile_;
    bool loading_ = false;
    bool running_ = false;
    bool sieve_ = true;
    double startTime_ = 0;
    double lastTime_ = 0;
    std::optional<UInt128> fromP_;
    UInt128 endP_ = 0;
    UInt128 firstP_ = 0;  // of the history's first record
    UInt128 lastP_ = 0;
    std::optional<int64_t> algebraic_;
};

}  // namespace varnesk
