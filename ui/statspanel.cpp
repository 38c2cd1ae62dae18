#include "ui/statspanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSettings>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <span>

#include "engine/jobcheck.h"
#include "kernels/sieve_job.h"

namespace varnesk {

namespace {

constexpr char kDash[] = "\u2013";
constexpr char kTestSecondsKey[] = "Stop/TestSecondsPerCandidate";

QString Dash() { return QString::fromUtf8(kDash); }

// Wraps its words in the height it is given: a label whose height follows
// its width would make the panel's scrolling area keep the chart at its
// preferred height and scroll, where the chart could have shrunk.
class WrappedLabel : public QLabel {
public:
    using QLabel::QLabel;
    bool hasHeightForWidth() const override { return false; }
};

// The first record the chart draws: a new sieve's first record has p = 0,
// which a logarithmic axis cannot show.
size_t FirstDrawn(const std::vector<ProgressPoint>& points) {
    size_t i = 0;
    while (i < points.size() && points[i].p < 3) ++i;
    return i;
}

// The x range of the chart: log10 p from the first record drawn to the
// last, widened when p has hardly moved so that the axis has a span.
struct LogRange {
    double lo = 0, hi = 1;
};
LogRange RangeOf(const std::vector<ProgressPoint>& points) {
    LogRange r;
    const size_t first = FirstDrawn(points);
    if (first >= points.size()) return r;
    r.lo = std::log10(points[first].p);
    r.hi = std::log10(std::max(points.back().p, 1.0));
    // A narrow range far up (10^20 to 10^20 + 10^14) still fills the
    // width; only a p that did not move gets a span of its own.
    if (r.hi - r.lo < 1e-10) {
        const double mid = (r.lo + r.hi) / 2;
        r.lo = mid - 5e-11;
        r.hi = mid + 5e-11;
    }
    return r;
}

QString Superscript(int value) {
    static const char16_t kDigits[] = u"\u2070\u00b9\u00b2\u00b3\u2074\u2075\u2076\u2077\u2078\u2079";
    QString digits = QString::number(value);
    QString out;
    for (QChar c : digits) out += c == '-' ? QChar(0x207b) : QChar(kDigits[c.digitValue()]);
    return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts the span in about
// `parts` pieces.
double NiceStep(double span, int parts) {
    const double raw = span / parts;
    if (!(raw > 0)) return 1;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * mag >= raw) return m * mag;
    return 10 * mag;
}

}  // namespace

// ---- texts ----

QString GroupedNumber(double value) {
    if (!std::isfinite(value)) return Dash();
    QString digits = QString::asprintf("%.0f", std::fabs(value));
    for (int i = digits.size() - 3; i > 0; i -= 3) digits.insert(i, ',');
    return value <= -0.5 ? "-" + digits : digits;
}

QString RateText(double value) {
    if (!std::isfinite(value)) return Dash();
    const double a = std::fabs(value);
    if (a >= 100 || a == 0) return GroupedNumber(value);
    if (a >= 1) return QString::number(value, 'f', 2);
    // Three significant digits without an exponent.
    const int decimals = std::min(12, 2 - static_cast<int>(std::floor(std::log10(a))));
    return QString::number(value, 'f', decimals);
}

QString SpanText(double seconds) {
    if (!(seconds >= 0) || !std::isfinite(seconds)) return Dash();
    if (seconds >= 1000.0 * 86400) return "more than 1,000 days";
    // A removal can take a fraction of a second early in a sieve.
    if (seconds < 9.995) return RateText(seconds) + " s";
    const int64_t s = std::llround(seconds);
    if (s < 60) return QString("%1 s").arg(s);
    if (s < 3600) return QString::asprintf("%d min %02d s", static_cast<int>(s / 60), static_cast<int>(s % 60));
    if (s < 86400)
        return QString::asprintf("%d h %02d min", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60));
    return QString::asprintf("%d d %02d h", static_cast<int>(s / 86400), static_cast<int>(s / 3600 % 24));
}

QString AdviceText(const StopAdvice& advice, double testSeconds) {
    if (!(testSeconds > 0)) return "When to stop: enter the primality test's time per candidate, in seconds.";
    switch (advice.kind) {
    case StopAdvice::kKeepSieving: {
        QString s = QString("Keep sieving: it removes a base every %1, faster than a test (%2). ")
                        .arg(SpanText(advice.removalSeconds), SpanText(testSeconds));
        if (advice.crossingP >= static_cast<double>(kWideLimitP))
            return s + "Sieving stays faster up to the largest p the sieve reaches (2^96).";
        s += QString("Keep sieving until about P \u2248 %1").arg(GroupedNumber(advice.crossingP));
        if (advice.secondsToCrossing > 0) s += QString(" (in about %1)").arg(SpanText(advice.secondsToCrossing));
        return s + ".";
    }
    case StopAdvice::kStopSieving:
        return QString("Testing is now faster: sieving removes a base every %1, a test takes %2. Stop sieving and "
                       "test the candidates.")
            .arg(SpanText(advice.removalSeconds), SpanText(testSeconds));
    case StopAdvice::kNotYet: break;
    }
    return QString("No advice yet: it needs at least %1 bases removed over %2 of sieving.")
        .arg(SieveHistory::kAdviceRemovals)
        .arg(SpanText(SieveHistory::kAdviceSeconds));
}

QString TickText(double value, double step) {
    if (!std::isfinite(value)) return Dash();
    const int decimals =
        step >= 1 || !(step > 0) ? 0 : std::min(12, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    QString out = QString::number(std::fabs(value), 'f', decimals);
    const qsizetype point = out.contains('.') ? out.indexOf('.') : out.size();
    for (qsizetype i = point - 3; i > 0; i -= 3) out.insert(i, ',');
    return value < 0 && out.contains(QRegularExpression("[1-9]")) ? "-" + out : out;
}

QString PEndText(double p, int digits) {
    if (!(p > 0) || !std::isfinite(p)) return Dash();
    // The 'e' format rounds the mantissa and carries into the exponent.
    const QString e = QString::number(p, 'e', std::clamp(digits, 1, 17) - 1);
    const qsizetype at = e.indexOf('e');
    const int exponent = e.mid(at + 1).toInt();
    const QString mantissa = e.left(at);
    return exponent == 0 ? mantissa : mantissa + "\u00b710" + Superscript(exponent);
}

std::vector<double> PAxisTicks(double lo, double hi) {
    // Decades, and 2 and 5 (or every digit) between them when few decades
    // show.
    const double span = hi - lo;
    const std::vector<int> mantissas = span > 3     ? std::vector<int>{1}
                                       : span > 0.6 ? std::vector<int>{1, 2, 5}
                                                    : std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<double> ticks;
    for (int d = static_cast<int>(std::floor(lo)); d <= static_cast<int>(std::ceil(hi)); ++d)
        for (int m : mantissas) {
            const double lp = d + std::log10(static_cast<double>(m));
            if (lp >= lo && lp <= hi) ticks.push_back(lp);
        }
    return ticks;
}

std::vector<AxisLabel> PAxisLabels(double lo, double hi, double plotLeft, double plotWidth, double widgetWidth,
                                   const QFontMetrics& fm) {
    std::vector<AxisLabel> labels;
    if (!(hi > lo) || !(plotWidth > 0)) return labels;
    double lastRight = -1e9;
    for (const double lp : PAxisTicks(lo, hi)) {
        const int d = static_cast<int>(std::floor(lp + 1e-9));
        const int m = static_cast<int>(std::lround(std::pow(10.0, lp - d)));
        const QString text = (m == 1 ? QString() : QString("%1\u00b7").arg(m)) + "10" + Superscript(d);
        const double w = fm.horizontalAdvance(text);
        const double x = plotLeft + (lp - lo) / (hi - lo) * plotWidth;
        // Kept inside the widget; a label that would touch the one before
        // is left out.
        const double at = std::min(x - w / 2, widgetWidth - w - 1.0);
        if (at <= lastRight + 4) continue;
        labels.push_back({at, w, text});
        lastRight = at + w;
    }
    if (labels.size() >= 2) return labels;
    // Too short a span for two ticks: the two ends, each with the digits
    // that tell it from the other.
    labels.clear();
    const double pLo = std::pow(10.0, lo), pHi = std::pow(10.0, hi);
    int digits = 3;
    while (digits < 17 && PEndText(pLo, digits) == PEndText(pHi, digits)) ++digits;
    const QString a = PEndText(pLo, digits), b = PEndText(pHi, digits);
    const double wa = fm.horizontalAdvance(a), wb = fm.horizontalAdvance(b);
    labels.push_back({plotLeft, wa, a});
    labels.push_back({std::max(plotLeft + wa + 4, std::min(plotLeft + plotWidth - wb, widgetWidth - wb - 1.0)), wb, b});
    return labels;
}

// ---- chart ----

HistoryChart::HistoryChart(const SieveHistory& history, QWidget* parent) : QWidget(parent), history_(history) {
    setObjectName("historyChart");
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

HistoryChart::Curves HistoryChart::Sample(int columns) const {
    Curves c;
    const std::vector<ProgressPoint>& all = history_.Points();
    const size_t first = FirstDrawn(all);
    if (first >= all.size() || columns < 1) return c;
    const std::span<const ProgressPoint> pts(all.data() + first, all.size() - first);
    const LogRange r = RangeOf(all);
    auto column = [&](double p) {
        return static_cast<int>(std::floor((std::log10(std::max(p, 1.0)) - r.lo) / (r.hi - r.lo) * columns));
    };
    // Bases left: the newest point of each column.
    int last = -1;
    for (const ProgressPoint& q : pts) {
        const QPointF at(std::log10(std::max(q.p, 1.0)), static_cast<double>(q.left));
        const int col = column(q.p);
        if (col == last)
            c.left.back() = at;
        else
            c.left.push_back(at);
        last = col;
    }
    // The removal rate over spans of at least three columns that hold a
    // removal: one record's few removals alone would make the curve jump
    // between nothing and spikes. A narrow span at the end waits for more.
    size_t anchor = 0;
    for (size_t i = 1; i < pts.size(); ++i) {
        const bool wide = column(pts[i].p) - column(pts[anchor].p) >= 3 && pts[i].left < pts[anchor].left;
        if (!wide && (i + 1 < pts.size() || !c.rate.empty())) continue;
        const double dt = pts[i].t - pts[anchor].t;
        if (dt > 0) {
            const double x = (std::log10(std::max(pts[anchor].p, 1.0)) + std::log10(std::max(pts[i].p, 1.0))) / 2;
            c.rate.emplace_back(x, static_cast<double>(pts[anchor].left - pts[i].left) / dt * 3600);
        }
        anchor = i;
    }
    return c;
}

QSize HistoryChart::sizeHint() const {
    return {fontMetrics().averageCharWidth() * 60, fontMetrics().lineSpacing() * 26};
}

QSize HistoryChart::minimumSizeHint() const {
    // Room for the axis labels and six lines of text beside the panes.
    return {fontMetrics().averageCharWidth() * 36, fontMetrics().lineSpacing() * 6 + 40};
}

QColor HistoryChart::Legible(QRgb colour, const QColor& base) {
    QColor c = QColor::fromRgb(colour);
    constexpr int kMinContrast = 100;  // of 255 in HSL lightness
    const int baseLight = base.toHsl().lightness();
    QColor hsl = c.toHsl();
    const int light = hsl.lightness();
    if (std::abs(light - baseLight) >= kMinContrast) return c;
    const int wanted = baseLight < 128 ? std::min(255, baseLight + kMinContrast) : std::max(0, baseLight - kMinContrast);
    hsl.setHsl(hsl.hslHue(), hsl.hslSaturation(), wanted, hsl.alpha());
    return hsl.toRgb();
}

void HistoryChart::paintEvent(QPaintEvent*) {
    QPainter g(this);
    g.fillRect(rect(), palette().base());
    g.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics fm = g.fontMetrics();
    const std::vector<ProgressPoint>& pts = history_.Points();
    g.setPen(palette().color(QPalette::Text));
    if (pts.size() < FirstDrawn(pts) + 2 || width() < 160 || height() < 6 * fm.height() + 40) {
        g.drawText(rect(), Qt::AlignCenter, "The chart starts with the second progress record.");
        return;
    }
    const LogRange r = RangeOf(pts);
    // Sampled for about the plot's width; the margin comes from the labels.
    const Curves curves = Sample(std::max(1, width() - 90));

    // The expected survivors A / ln p, A from the fit over the history.
    const double a = history_.ExpectedSurvivors(10) * std::log(10.0);
    std::vector<QPointF> expected;
    constexpr int kExpectedSamples = 64;
    for (int i = 0; i <= kExpectedSamples; ++i) {
        const double lp = r.lo + (r.hi - r.lo) * i / kExpectedSamples;
        if (lp * std::log(10.0) >= 1) expected.emplace_back(lp, a / (lp * std::log(10.0)));
    }

    // Bases left on a linear scale; the removal rate on a logarithmic one,
    // where the 1/p law is a straight line and the testing rate a level
    // one: the sieve pays while its line stays above.
    double leftLo = INFINITY, leftHi = -INFINITY;
    const std::vector<QPointF>* const leftSets[] = {&curves.left, &expected};
    for (const std::vector<QPointF>* v : leftSets) {
        if (v == &expected && !(a > 0)) continue;
        for (const QPointF& q : *v) {
            leftLo = std::min(leftLo, q.y());
            leftHi = std::max(leftHi, q.y());
        }
    }
    // Bases are counted whole: a span of less than two (a few survivors
    // beside their expectation) gets one around its middle.
    if (!(leftHi - leftLo >= 2)) {
        const double mid = (leftLo + leftHi) / 2;
        leftLo = mid - 1;
        leftHi = mid + 1;
    }
    const double pad = (leftHi - leftLo) * 0.05;
    leftLo -= pad;
    leftHi += pad;
    std::vector<QPointF> logRate;
    for (const QPointF& q : curves.rate)
        if (q.y() > 0) logRate.emplace_back(q.x(), std::log10(q.y()));
    const double testsPerHour = testSeconds_ > 0 ? 3600 / testSeconds_ : 0;
    double rateLo = INFINITY, rateHi = -INFINITY;
    for (const QPointF& q : logRate) {
        rateLo = std::min(rateLo, q.y());
        rateHi = std::max(rateHi, q.y());
    }
    if (testsPerHour > 0) {
        rateLo = std::min(rateLo, std::log10(testsPerHour));
        rateHi = std::max(rateHi, std::log10(testsPerHour));
    }
    if (!(rateHi >= rateLo)) rateLo = rateHi = 0;
    rateLo = std::floor(rateLo - 0.05);
    rateHi = std::max(std::ceil(rateHi + 0.05), rateLo + 1);

    std::vector<std::pair<double, QString>> leftTicks, rateTicks;
    const double step = std::max(1.0, NiceStep(leftHi - leftLo, 4));
    for (double v = std::ceil(leftLo / step) * step; v <= leftHi; v += step)
        leftTicks.emplace_back(v, TickText(std::abs(v) < step / 1e6 ? 0 : v, step));
    const int every = std::max(1, static_cast<int>(std::ceil((rateHi - rateLo) / 4)));
    for (int d = static_cast<int>(rateLo); d <= static_cast<int>(rateHi); d += every)
        rateTicks.emplace_back(d, TickText(std::pow(10.0, d), std::pow(10.0, d)));
    int labelWidth = 0;
    for (const auto* t : {&leftTicks, &rateTicks})
        for (const auto& tick : *t) labelWidth = std::max(labelWidth, fm.horizontalAdvance(tick.second));

    const int left = labelWidth + 10, right = 10, top = 4, bottom = 2 * fm.height() + 8;
    const int gap = fm.height() + 10;
    const QRect plot(left, top + fm.height() + 4, width() - left - right, height() - top - bottom - fm.height() - 4);
    const int paneHeight = (plot.height() - gap) / 2;
    const QRect upper(plot.left(), plot.top(), plot.width(), paneHeight);
    const QRect lower(plot.left(), plot.bottom() - paneHeight + 1, plot.width(), paneHeight);
    auto xOf = [&](double lp) { return plot.left() + (lp - r.lo) / (r.hi - r.lo) * plot.width(); };

    const QColor grid = palette().color(QPalette::Mid);
    const QColor base = palette().color(QPalette::Base);
    const QColor text = palette().color(QPalette::Text);
    auto drawPane = [&](const QRect& pane, double lo, double hi, const std::vector<std::pair<double, QString>>& ticks,
                        const QString& title) {
        g.setPen(text);
        // Over the pane, or moved left over the tick labels (which stand
        // beside the pane, not above it) when the pane is narrower.
        const int titleWidth = fm.horizontalAdvance(title);
        const int titleLeft = std::max(0, std::min(pane.left(), pane.right() - titleWidth));
        g.drawText(QRect(titleLeft, pane.top() - fm.height() - 3, width() - titleLeft, fm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, fm.elidedText(title, Qt::ElideRight, width() - titleLeft));
        for (const auto& [v, label] : ticks) {
            const double y = pane.bottom() - (v - lo) / (hi - lo) * pane.height();
            g.setPen(QPen(grid, 0, Qt::DotLine));
            g.drawLine(QPointF(pane.left(), y), QPointF(pane.right(), y));
            g.setPen(text);
            g.drawText(QRectF(0, y - fm.height() / 2.0, pane.left() - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                       label);
        }
        g.setPen(QPen(grid, 0));
        g.drawRect(pane.adjusted(0, 0, -1, -1));
    };
    auto curve = [&](const QRect& pane, const std::vector<QPointF>& v, double lo, double hi, QPen pen) {
        if (v.empty()) return;
        QPainterPath path;
        for (size_t i = 0; i < v.size(); ++i) {
            const QPointF at(xOf(v[i].x()), pane.bottom() - (v[i].y() - lo) / (hi - lo) * pane.height());
            if (i == 0)
                path.moveTo(at);
            else
                path.lineTo(at);
        }
        g.setPen(pen);
        g.setClipRect(pane);
        g.drawPath(path);
        if (v.size() == 1) g.drawEllipse(path.currentPosition(), 2, 2);
        g.setClipping(false);
    };

    drawPane(upper, leftLo, leftHi, leftTicks, "Bases left (dashed: expected)");
    drawPane(lower, rateLo, rateHi, rateTicks,
             testsPerHour > 0 ? "Bases removed per hour (dashed: tests per hour)" : "Bases removed per hour");

    // The p axis: its ticks, then its labels.
    for (const double lp : PAxisTicks(r.lo, r.hi)) {
        const double x = xOf(lp);
        g.setPen(QPen(grid, 0, Qt::DotLine));
        for (const QRect* pane : {&upper, &lower}) g.drawLine(QPointF(x, pane->top()), QPointF(x, pane->bottom()));
    }
    g.setPen(text);
    for (const AxisLabel& label : PAxisLabels(r.lo, r.hi, plot.left(), plot.width(), width(), fm))
        g.drawText(QRectF(label.at, lower.bottom() + 3, label.width, fm.height()), Qt::AlignCenter, label.text);
    g.setPen(text);
    g.drawText(QRect(plot.left(), lower.bottom() + 3 + fm.height(), plot.width(), fm.height()), Qt::AlignCenter,
               "p (logarithmic)");

    // The expectation over the count, so that it shows where they agree.
    curve(upper, curves.left, leftLo, leftHi, QPen(Legible(kLeftColour, base), 1.8));
    if (a > 0) curve(upper, expected, leftLo, leftHi, QPen(Legible(kExpectedColour, base), 1.2, Qt::DashLine));
    if (testsPerHour > 0) {
        // Crisp on whole pixels: a level line needs no smoothing.
        const int y = static_cast<int>(
            std::lround(lower.bottom() - (std::log10(testsPerHour) - rateLo) / (rateHi - rateLo) * lower.height()));
        g.setRenderHint(QPainter::Antialiasing, false);
        g.setPen(QPen(Legible(kTestColour, base), 1, Qt::DashLine));
        g.drawLine(lower.left() + 1, y, lower.right() - 1, y);
        g.setRenderHint(QPainter::Antialiasing);
    }
    curve(lower, logRate, rateLo, rateHi, QPen(Legible(kRateColour, base), 1.8));
}

// ---- panel ----

CStatsPanel::CStatsPanel(QWidget* parent) : QGroupBox("Rates and When to Stop", parent) {
    setObjectName("statsPanel");
    auto* top = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    top->addLayout(grid);
    // Wide enough for figures up to 10^11, so that growing figures do not
    // make the panel jump, and narrow enough for the panel and the form to
    // stand side by side on a screen 1024 pixels wide.
    const int valueWidth = fontMetrics().horizontalAdvance("00,000,000,000");
    auto value = [this, valueWidth](const char* name) {
        auto* l = new QLabel(Dash(), this);
        l->setMinimumWidth(valueWidth);
        l->setObjectName(name);
        l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return l;
    };
    int row = 0;
    ui_.state = new QLabel(this);
    ui_.state->setObjectName("state");
    grid->addWidget(ui_.state, row++, 0, 1, 3);
    grid->addWidget(new QLabel(QString("<i>last %1 min</i>").arg(kRecentSeconds / 60), this), row, 1, Qt::AlignRight);
    grid->addWidget(new QLabel("<i>since start</i>", this), row++, 2, Qt::AlignRight);
    const struct {
        const char* label;
        QLabel** recent;
        QLabel** all;
        const char* names[2];
    } rates[] = {{"Primes per second:", &ui_.primesRecent, &ui_.primesAll, {"primesRecent", "primesAll"}},
                 {"P (10^15) per day:", &ui_.pPerDayRecent, &ui_.pPerDayAll, {"pPerDayRecent", "pPerDayAll"}},
                 {"Bases removed per hour:", &ui_.removedRecent, &ui_.removedAll, {"removedRecent", "removedAll"}}};
    for (const auto& r : rates) {
        grid->addWidget(new QLabel(r.label, this), row, 0);
        *r.recent = value(r.names[0]);
        *r.all = value(r.names[1]);
        grid->addWidget(*r.recent, row, 1);
        grid->addWidget(*r.all, row++, 2);
    }
    grid->addWidget(new QLabel("Elapsed:", this), row, 0);
    ui_.elapsed = value("elapsed");
    grid->addWidget(ui_.elapsed, row++, 2);
    grid->addWidget(new QLabel("Bases left / expected:", this), row, 0);
    ui_.left = value("left");
    ui_.expected = value("expected");
    ui_.expected->setToolTip(
        "Survivors expected at the current p: A / ln p, A fitted to this job's history, without the algebraic "
        "bases");
    grid->addWidget(ui_.left, row, 1);
    grid->addWidget(ui_.expected, row++, 2);
    grid->addWidget(new QLabel("Algebraic among them:", this), row, 0);
    ui_.algebraic = value("algebraic");
    ui_.algebraic->setToolTip(
        "Bases b = c^m with m odd and above 1: c^N+1 divides b^N+1, so they cannot be prime. They stay in the "
        "candidate file, are listed in the factor file's .algebraic record, and export drops them.");
    grid->addWidget(ui_.algebraic, row++, 1);
    ui_.endPLabel = new QLabel("Toward End P:", this);
    ui_.toEndP = new QProgressBar(this);
    ui_.toEndP->setObjectName("toEndP");
    ui_.toEndP->setRange(0, 1000);
    grid->addWidget(ui_.endPLabel, row, 0);
    grid->addWidget(ui_.toEndP, row++, 1, 1, 2);
    ui_.timeLeftLabel = new QLabel("Time left:", this);
    ui_.timeLeft = value("timeLeft");
    grid->addWidget(ui_.timeLeftLabel, row, 0);
    grid->addWidget(ui_.timeLeft, row++, 2);
    grid->addWidget(new QLabel("Test time per candidate (s):", this), row, 0);
    ui_.testSeconds = new QLineEdit(this);
    ui_.testSeconds->setObjectName("testSeconds");
    ui_.testSeconds->setAlignment(Qt::AlignRight);
    ui_.testSeconds->setToolTip("Seconds the primality tester takes for one candidate of this job");
    grid->addWidget(ui_.testSeconds, row++, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

    ui_.advice = new WrappedLabel(this);
    ui_.advice->setObjectName("advice");
    ui_.advice->setWordWrap(true);
    // Room for the longest advice at the panel's narrowest.
    ui_.advice->setMinimumHeight(4 * fontMetrics().height());
    ui_.advice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    top->addWidget(ui_.advice);

    ui_.chart = new HistoryChart(history_, this);
    top->addWidget(ui_.chart, 1);

    connect(ui_.testSeconds, &QLineEdit::textChanged, this, &CStatsPanel::OnTestSecondsEdited);
    ui_.state->setText("No job has run yet.");
    ui_.endPLabel->hide();
    ui_.toEndP->hide();
    ui_.timeLeftLabel->hide();
    ui_.timeLeft->hide();
    RefreshAdvice();
}

void CStatsPanel::StartJob(double now, int32_t exponent, bool sieve, std::optional<UInt128> fromP, UInt128 endP) {
    history_.Clear();
    history_.SetExponent(exponent);
    exponent_ = exponent;
    running_ = true;
    sieve_ = sieve;
    startTime_ = lastTime_ = now;
    fromP_ = fromP;
    endP_ = endP;
    firstP_ = lastP_ = 0;
    algebraic_.reset();
    const bool showEnd = endP_ > 0;
    for (QWidget* w : std::initializer_list<QWidget*>{ui_.endPLabel, ui_.toEndP, ui_.timeLeftLabel, ui_.timeLeft})
        w->setVisible(showEnd);
    ui_.state->setText("Running: the figures come with the first progress record.");
    Refresh();
}

void CStatsPanel::SetExponent(int32_t exponent) {
    history_.SetExponent(exponent);
    exponent_ = exponent;
    Refresh();
}

void CStatsPanel::AddRecord(double now, UInt128 p, int64_t left) {
    history_.Add({now, static_cast<double>(p), left, algebraic_.value_or(0)});
    // The history starts again when p falls; so does its first p.
    if (history_.Points().size() == 1) firstP_ = p;
    lastP_ = p;
    lastTime_ = now;
    if (running_) ui_.state->setText("Running.");
    Refresh();
}

void CStatsPanel::SetAlgebraic(int64_t left) {
    algebraic_ = left;
    Refresh();
}

std::string CStatsPanel::SummaryLine() const {
    if (!sieve_ || history_.Empty()) return std::string();
    // As the command line gives it: from the first record to the last.
    const SieveRates all = history_.SinceStart();
    return varnesk::SummaryLine(firstP_, lastP_, exponent_, history_.Removed(), history_.Elapsed(),
                                all.valid ? all.pPerDay : 0);
}

std::optional<std::pair<UInt128, UInt128>> CStatsPanel::SievedP() const {
    if (history_.Points().empty()) return std::nullopt;
    return std::make_pair(fromP_ ? *fromP_ : firstP_, lastP_);
}

void CStatsPanel::EndJob(double now) {
    if (!running_) return;
    running_ = false;
    lastTime_ = now;
    ui_.state->setText("Ended: the final figures of the job.");
    Refresh();
}

void CStatsPanel::Refresh() {
    const std::vector<ProgressPoint>& pts = history_.Points();
    const SieveRates recent = history_.Recent(kRecentSeconds), all = history_.SinceStart();
    auto rate = [](const SieveRates& r, double v) { return r.valid ? RateText(v) : Dash(); };
    ui_.primesRecent->setText(rate(recent, recent.primesPerSecond));
    ui_.primesAll->setText(rate(all, all.primesPerSecond));
    // P per day as the command line gives it: the rise of p in units of 10^15.
    ui_.pPerDayRecent->setText(rate(recent, recent.pPerDay));
    ui_.pPerDayAll->setText(rate(all, all.pPerDay));
    ui_.removedRecent->setText(sieve_ ? rate(recent, recent.removedPerHour) : Dash());
    ui_.removedAll->setText(sieve_ ? rate(all, all.removedPerHour) : Dash());
    ui_.elapsed->setText(running_ || !pts.empty() ? SpanText(lastTime_ - startTime_) : Dash());
    ui_.left->setText(sieve_ && !pts.empty() ? GroupedNumber(static_cast<double>(pts.back().left)) : Dash());
    ui_.expected->setText(sieve_ && pts.size() >= 2 ? GroupedNumber(history_.ExpectedSurvivors(pts.back().p)) : Dash());
    // A sieve that reports none has none: its range holds no odd power.
    const bool algebraicKnown = sieve_ && (algebraic_ || !pts.empty());
    ui_.algebraic->setText(algebraicKnown ? GroupedNumber(static_cast<double>(algebraic_.value_or(0))) : Dash());
    if (endP_ > 0) {
        // Differences taken whole, then made doubles.
        const UInt128 p = pts.empty() ? 0 : lastP_;
        const UInt128 from = fromP_ ? *fromP_ : pts.empty() ? 0 : firstP_;
        double share = pts.empty()     ? 0
                       : p >= endP_    ? 1
                       : p <= from     ? 0
                                       : static_cast<double>(p - from) / static_cast<double>(endP_ - from);
        share = std::clamp(share, 0.0, 1.0);
        ui_.toEndP->setValue(static_cast<int>(std::lround(share * 1000)));
        ui_.toEndP->setFormat(QString::asprintf("%.1f %%", share * 100));
        if (!pts.empty() && p >= endP_)
            ui_.timeLeft->setText("reached");
        else
            ui_.timeLeft->setText(running_ && recent.valid && recent.pPerSecond > 0
                                      ? SpanText(static_cast<double>(endP_ - p) / recent.pPerSecond)
                                      : Dash());
    }
    RefreshAdvice();
    ui_.chart->update();
}

void CStatsPanel::RefreshAdvice() {
    ui_.chart->SetTestSeconds(sieve_ ? TestSeconds() : 0);
    if (!sieve_) {
        ui_.advice->setText("No advice for a packed K build.");
        return;
    }
    const double test = TestSeconds();
    ui_.advice->setText(AdviceText(history_.Advise(test), test));
}

double CStatsPanel::TestSeconds() const {
    bool ok = false;
    const double v = QLocale::c().toDouble(ui_.testSeconds->text().trimmed(), &ok);
    return ok && std::isfinite(v) && v > 0 ? v : 0;
}

void CStatsPanel::SetSettingsFile(const QString& path) {
    settingsFile_ = path;
    if (path.isEmpty()) return;
    const QSettings settings(path, QSettings::IniFormat);
    loading_ = true;
    ui_.testSeconds->setText(settings.value(kTestSecondsKey).toString());
    loading_ = false;
    RefreshAdvice();
}

void CStatsPanel::OnTestSecondsEdited() {
    RefreshAdvice();
    if (loading_ || settingsFile_.isEmpty()) return;
    QSettings settings(settingsFile_, QSettings::IniFormat);
    settings.setValue(kTestSecondsKey, ui_.testSeconds->text().trimmed());
}

}  // namespace varnesk
