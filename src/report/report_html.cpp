#include "report/report_html.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "report/scan_log_reader.h"
#include "report/replay_html.h"
#include "store/encoded_words.h"
#include "store/run_plan.h"
#include "store/scan_log.h"

namespace saplugin {

namespace {

// A test-mode outcome has the colour of what it would have done, hatched.
const char* const kColors[kReportOutcomeCount] = {"#4e79a7", "#a0cbe8", "#e15759", "#b07aa1", "#f28e2b", "#4e79a7", "#a0cbe8",
                                                  "#e15759", "#b07aa1", "#f28e2b", "#8cd17d", "#8cd17d", "#59a14f", "#bab0ac",
                                                  "#d7d7d7", "#ff9d9a", "#9c755f", "#edc948", "#76b7b2", "#79706e"};

const char* const kStyle =
    "body{font:14px/1.45 system-ui,-apple-system,'Segoe UI',Arial,sans-serif;color:#222;margin:24px auto;max-width:1000px;padding:0 16px}"
    "h1{font-size:24px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ddd;padding-bottom:4px}"
    "table{border-collapse:collapse;margin:8px 0;font-variant-numeric:tabular-nums}"
    // A long unbroken run (a subject, a path) breaks rather than widen its table past the page.
    "th,td{border-bottom:1px solid #eee;padding:3px 10px;text-align:left;vertical-align:top;overflow-wrap:anywhere}td.n,th.n{text-align:right}"
    ".note{overflow-wrap:anywhere;color:#8a5300;background:#fff6e0;padding:6px 10px;border-left:3px solid #f0ad4e;margin:4px 0}"
    ".muted{color:#777}.legend span{display:inline-block;margin-right:12px}.legend i{display:inline-block;width:10px;height:10px;"
    "margin-right:4px;vertical-align:middle}svg{display:block;max-width:100%;height:auto}code{font-size:12px;background:#f4f4f4;padding:1px 4px}"
    ".cols{display:flex;gap:24px;flex-wrap:wrap}.cols>div{flex:1 1 420px}"
    "@media print{body{margin:0;max-width:none;font-size:11px}h2,h3{break-after:avoid}svg,tr{break-inside:avoid}"
    "tr:first-child{break-after:avoid}.note{border-left-color:#999}}";

// The value with that many decimals, rounded half away from zero. Written
// here rather than by printf, whose rounding of halves differs between the C
// libraries, so that both builds write the same page.
std::string Fixed(double value, int decimals) {
  double scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  const long long scaled = std::llround(value * scale);
  const unsigned long long magnitude = scaled < 0 ? 0ULL - static_cast<unsigned long long>(scaled) : static_cast<unsigned long long>(scaled);
  std::string digits = std::to_string(magnitude);
  if (decimals > 0) {
    if (digits.size() <= static_cast<std::size_t>(decimals)) digits.insert(0, static_cast<std::size_t>(decimals) + 1 - digits.size(), '0');
    digits.insert(digits.size() - static_cast<std::size_t>(decimals), ".");
  }
  return (scaled < 0 ? "-" : "") + digits;
}

// An axis value with as few decimals as it needs (at most six).
std::string Tick(double value) {
  int decimals = 0;
  double scale = 1;
  while (decimals < 6 && std::fabs(std::round(value * scale) - value * scale) > 1e-6 * scale) ++decimals, scale *= 10;
  return Fixed(value, decimals);
}

std::string Share(long part, long whole) { return whole == 0 ? "-" : Fixed(100.0 * part / whole, 1) + " %"; }

// The releases against the messages quarantined in the same period; more
// releases than that (of mail quarantined before) say so rather than pass 100 %.
std::string ReleaseRate(const PeriodCounts& counts) {
  const long quarantined = counts.Outcome("quarantined"), releases = counts.releases + counts.recipient_releases;
  if (releases > quarantined) return "more than the " + std::to_string(quarantined) + " quarantined, some of them quarantined before";
  return Share(releases, quarantined) + " of the messages quarantined";
}

// The change from the previous period, in words.
std::string Change(long now, long before) {
  if (before == 0) return now == 0 ? "-" : "new";
  const double change = 100.0 * static_cast<double>(now - before) / static_cast<double>(before);
  return (change >= 0 ? "+" : "") + Fixed(change, 1) + " %";
}

std::string Bytes(std::int64_t bytes) {
  return bytes >= 1 << 20 ? Fixed(bytes / 1048576.0, 1) + " MB" : bytes >= 1024 ? Fixed(bytes / 1024.0, 1) + " KB"
                                                                                   : std::to_string(bytes) + " bytes";
}

// A round top for an axis that holds the value, and its step.
double NiceTop(double value) {
  if (value <= 0) return 1;
  const double power = std::pow(10, std::floor(std::log10(value)));
  for (const double step : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    if (step * power >= value) return step * power;
  }
  return 10 * power;
}

// A round top for an axis of counts whose four steps are whole numbers.
double CountTop(long value) {
  if (value <= 4) return 4;
  if (value <= 8) return 8;
  long power = 1;
  while (power * 10 <= value) power *= 10;
  for (const long step : {1, 2, 4, 6, 8, 10, 20}) {
    if (step * power >= value && step * power % 4 == 0) return static_cast<double>(step * power);
  }
  return static_cast<double>(20 * power);
}

std::string Text(double x, double y, const std::string& text, const char* anchor = "middle", int size = 11) {
  return "<text x=\"" + Fixed(x, 1) + "\" y=\"" + Fixed(y, 1) + "\" font-size=\"" + std::to_string(size) +
         "\" text-anchor=\"" + anchor + "\" fill=\"#555\">" + EscapeHtml(text) + "</text>";
}

std::string Rect(double x, double y, double w, double h, const char* color, const std::string& title) {
  return "<rect x=\"" + Fixed(x, 1) + "\" y=\"" + Fixed(y, 1) + "\" width=\"" + Fixed(std::max(w, 0.0), 1) +
         "\" height=\"" + Fixed(std::max(h, 0.0), 1) + "\" fill=\"" + color + "\"><title>" + EscapeHtml(title) + "</title></rect>";
}

// The frame of a chart: the SVG element, its y axis with four steps.
struct Chart {
  double width = 940, height = 260, left = 56, right = 12, top = 12, bottom = 36;
  double top_value = 1;
  std::string body;
  double PlotWidth() const { return width - left - right; }
  double PlotHeight() const { return height - top - bottom; }
  double Y(double value) const { return top + PlotHeight() * (1 - value / top_value); }
  // The chart's SVG element; with_axis draws the y axis's grid and values.
  std::string Svg(const std::string& id, const std::string& label, const char* unit = "", bool with_axis = true) const {
    std::string svg = "<svg class=\"chart\" id=\"" + id + "\" viewBox=\"0 0 " + Fixed(width, 0) + " " + Fixed(height, 0) +
                      "\" width=\"" + Fixed(width, 0) + "\" height=\"" + Fixed(height, 0) + "\" role=\"img\" aria-label=\"" +
                      EscapeHtml(label) + "\" xmlns=\"http://www.w3.org/2000/svg\">";
    for (int i = 0; with_axis && i <= 4; ++i) {
      const double value = top_value * i / 4, y = Y(value);
      svg += "<line x1=\"" + Fixed(left, 0) + "\" x2=\"" + Fixed(width - right, 0) + "\" y1=\"" + Fixed(y, 1) + "\" y2=\"" +
             Fixed(y, 1) + "\" stroke=\"#e5e5e5\"/>";
      svg += Text(left - 6, y + 4, Tick(value) + unit, "end");
    }
    return svg + body + "</svg>";
  }
};

// A day's slot that no scan log covers: shaded, and saying so.
std::string NoLogSlot(const Chart& chart, double x, double slot, const std::string& day) {
  return "<rect x=\"" + Fixed(x, 1) + "\" y=\"" + Fixed(chart.top, 1) + "\" width=\"" + Fixed(slot, 1) + "\" height=\"" + Fixed(chart.PlotHeight(), 1) +
         "\" fill=\"#f1f1f1\"><title>" + day + ": no scan log</title></rect>" +
         Text(x + slot / 2, chart.top + chart.PlotHeight() - 4, slot >= 30 ? "no log" : "-", "middle", 9);
}

std::string Legend(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string legend = "<p class=\"legend\">";
  for (const auto& [color, label] : entries) legend += "<span><i style=\"background:" + color + "\"></i>" + EscapeHtml(label) + "</span>";
  return legend + "</p>";
}

// Messages per day (or hour), stacked by outcome.
std::string BucketChart(const ReportData& data, std::string* legend) {
  std::vector<std::string> labels;
  std::vector<std::string> shown;  // what each bar says below it
  if (data.period.SingleDay()) {
    // The day's own hours by the lines' offsets, 23 or 25 of them when the clocks change, whatever this machine's zone.
    labels = data.DayHours();
    // Below each bar its hour; the offset that tells a repeated hour apart is in the bar's title.
    for (const std::string& label : labels) shown.push_back(label.substr(0, 2));
  } else {
    for (std::string day = data.period.first; !day.empty() && day <= data.period.last; day = AddDays(day, 1)) labels.push_back(day);
  }
  Chart chart;
  long most = 0;
  for (const auto& [bucket, counts] : data.buckets) {
    long total = 0;
    for (const long n : counts) total += n;
    most = std::max(most, total);
  }
  chart.top_value = CountTop(most);
  const double slot = chart.PlotWidth() / static_cast<double>(std::max<std::size_t>(labels.size(), 1));
  std::array<bool, kReportOutcomeCount> used{};
  std::array<std::string, kReportOutcomeCount> fills, swatches;
  for (std::size_t k = 0; k < kReportOutcomeCount; ++k) {
    const bool hatched = IsTestModeOutcome(kReportOutcomes[k]);
    fills[k] = hatched ? "url(#hatch-" + std::to_string(k) + ")" : kColors[k];
    swatches[k] = hatched ? "repeating-linear-gradient(45deg," + std::string(kColors[k]) + " 0 3px,#fff 3px 5px)" : kColors[k];
  }
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const auto found = data.buckets.find(labels[i]);
    double base = 0;
    const double x = chart.left + slot * static_cast<double>(i) + slot * 0.15;
    if (data.days_without_logs.count(labels[i]) > 0) chart.body += NoLogSlot(chart, x - slot * 0.15, slot, labels[i]);
    if (found != data.buckets.end()) {
      for (std::size_t k = 0; k < kReportOutcomeCount; ++k) {
        const long n = found->second[k];
        if (n == 0) continue;
        used[k] = true;
        chart.body += Rect(x, chart.Y(base + n), slot * 0.7, chart.Y(base) - chart.Y(base + n), fills[k].c_str(),
                           labels[i] + ": " + std::to_string(n) + " " + kReportOutcomes[k]);
        base += static_cast<double>(n);
      }
    }
    const bool label = labels.size() <= 16 || data.period.SingleDay() || i % ((labels.size() + 15) / 16) == 0;
    if (label) chart.body += Text(x + slot * 0.35, chart.height - chart.bottom + 16, data.period.SingleDay() ? shown[i] : labels[i].substr(5));
  }
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::size_t k = 0; k < kReportOutcomeCount; ++k) {
    if (used[k]) entries.emplace_back(swatches[k], kReportOutcomes[k]);
    if (used[k] && fills[k] != kColors[k]) {
      chart.body += "<defs><pattern id=\"hatch-" + std::to_string(k) + "\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
                    "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#fff\"/><rect width=\"3\" height=\"6\" fill=\"" +
                    kColors[k] + "\"/></pattern></defs>";
    }
  }
  *legend = Legend(entries);
  return chart.Svg("chart-messages", "Messages per " + std::string(data.period.SingleDay() ? "hour" : "day") + " by outcome");
}

// The spread of scores, clean and spam side by side in each one-point bin,
// the required score marked.
std::string ScoreChart(const ReportData& data) {
  Chart chart;
  long most = 0;
  for (std::size_t i = 0; i < data.clean_scores.size(); ++i) most = std::max({most, data.clean_scores[i], data.spam_scores[i]});
  chart.top_value = CountTop(most);
  const std::size_t bins = data.clean_scores.size();
  const double slot = chart.PlotWidth() / static_cast<double>(bins);
  const auto label = [&](std::size_t i) {
    return i == 0 ? "below " + Fixed(ReportData::kScoreLow, 0)
           : i + 1 == bins ? Fixed(ReportData::kScoreHigh, 0) + " or more"
                           : Fixed(ReportData::kScoreLow + static_cast<double>(i) - 1, 0) + " to " +
                                 Fixed(ReportData::kScoreLow + static_cast<double>(i), 0);
  };
  for (std::size_t i = 0; i < bins; ++i) {
    const double x = chart.left + slot * static_cast<double>(i);
    const long clean = data.clean_scores[i], spam = data.spam_scores[i];
    if (clean > 0) chart.body += Rect(x + slot * 0.1, chart.Y(clean), slot * 0.4, chart.Y(0) - chart.Y(clean), "#4e79a7", label(i) + ": " + std::to_string(clean) + " clean");
    if (spam > 0) chart.body += Rect(x + slot * 0.5, chart.Y(spam), slot * 0.4, chart.Y(0) - chart.Y(spam), "#e15759", label(i) + ": " + std::to_string(spam) + " spam");
    const double score = ReportData::kScoreLow + static_cast<double>(i) - 1;
    if (i > 0 && i + 1 < bins && static_cast<long>(score) % 5 == 0) chart.body += Text(x, chart.height - chart.bottom + 16, Fixed(score, 0));
    // The bins that take what lies beyond the range, named below their bars.
    if (i + 1 == bins) chart.body += Text(x + slot / 2, chart.height - chart.bottom + 16, Fixed(ReportData::kScoreHigh, 0) + "+");
    if (i == 0) chart.body += Text(x + slot / 2, chart.height - chart.bottom + 30, "< " + Fixed(ReportData::kScoreLow, 0));
  }
  const std::string required = data.RequiredScore();
  double value = 0;
  if (ReadScore(required, &value) && value >= ReportData::kScoreLow && value <= ReportData::kScoreHigh) {
    const double x = chart.left + slot * (value - ReportData::kScoreLow + 1);
    chart.body += "<line x1=\"" + Fixed(x, 1) + "\" x2=\"" + Fixed(x, 1) + "\" y1=\"" + Fixed(chart.top, 0) + "\" y2=\"" +
                  Fixed(chart.Y(0), 1) + "\" stroke=\"#222\" stroke-dasharray=\"5 3\"/>" +
                  Text(x + 4, chart.top + 12, "required " + required, "start");
  }
  return chart.Svg("chart-scores", "The spread of scores, clean and spam");
}

// Filter time per day: median, 95th and 99th percentile.
std::string TimeChart(const ReportData& data) {
  Chart chart;
  double most = 0;
  for (const auto& [day, times] : data.filter_times) most = std::max(most, times.Percentile(0.99));
  chart.top_value = NiceTop(most);
  // The axis of the messages chart: every day of the period, scanned or not.
  std::vector<std::string> days;
  for (std::string day = data.period.first; !day.empty() && day <= data.period.last; day = AddDays(day, 1)) days.push_back(day);
  const double slot = chart.PlotWidth() / static_cast<double>(std::max<std::size_t>(days.size(), 1));
  const auto x_of = [&](const std::string& day) {
    const auto at = std::lower_bound(days.begin(), days.end(), day);
    return chart.left + slot * (static_cast<double>(at - days.begin()) + 0.5);
  };
  for (const std::string& day : days) {
    if (data.days_without_logs.count(day) > 0) chart.body += NoLogSlot(chart, x_of(day) - slot / 2, slot, day);
  }
  const std::pair<double, const char*> lines[] = {{0.5, "#4e79a7"}, {0.95, "#f28e2b"}, {0.99, "#e15759"}};
  for (const auto& [fraction, color] : lines) {
    std::string points, previous;
    for (const auto& [day, times] : data.filter_times) {
      const double x = x_of(day), y = chart.Y(times.Percentile(fraction));
      // No line across a day without scans: the points on either side are not joined.
      if (!previous.empty() && AddDays(previous, 1) != day) {
        chart.body += "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" + std::string(color) + "\" points=\"" + points + "\"/>";
        points.clear();
      }
      previous = day;
      points += Fixed(x, 1) + "," + Fixed(y, 1) + " ";
      chart.body += "<circle cx=\"" + Fixed(x, 1) + "\" cy=\"" + Fixed(y, 1) + "\" r=\"4\" fill=\"" + color + "\"><title>" + day +
                    ": " + Fixed(times.Percentile(fraction), 3) + " s" + "</title></circle>";
    }
    chart.body += "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" + std::string(color) + "\" points=\"" + points + "\"/>";
  }
  for (std::size_t i = 0; i < days.size(); ++i) {
    if (days.size() <= 16 || i % ((days.size() + 15) / 16) == 0) chart.body += Text(x_of(days[i]), chart.height - chart.bottom + 16, days[i].substr(5));
  }
  return chart.Svg("chart-filter-time", "Filter time per day", " s");
}

// The message count of each of the trend's periods as bars, the spam share
// of its verdicts as points on a line, the oldest period on the left.
std::string TrendChart(const ReportData& data) {
  Chart chart;
  chart.height = 200, chart.right = 48;
  long most = 0;
  for (const PeriodCounts& counts : data.trend) most = std::max(most, counts.messages);
  // The spam share's own scale, on the right.
  for (int i = 0; i <= 4; ++i) chart.body += Text(chart.width - chart.right + 6, chart.top + chart.PlotHeight() * (1 - i / 4.0) + 4, std::to_string(25 * i) + " %", "start");
  chart.top_value = CountTop(most);
  const double slot = chart.PlotWidth() / kTrendPeriods;
  std::string points;
  for (int k = kTrendPeriods - 1; k >= 0; --k) {
    const PeriodCounts& counts = data.trend[static_cast<std::size_t>(k)];
    const double x = chart.left + slot * (kTrendPeriods - 1 - k);
    const std::string label = data.trend_days[static_cast<std::size_t>(k)].first.substr(5);
    chart.body += Rect(x + slot * 0.2, chart.Y(static_cast<double>(counts.messages)), slot * 0.6,
                       chart.Y(0) - chart.Y(static_cast<double>(counts.messages)), "#a0cbe8",
                       label + ": " + std::to_string(counts.messages) + " messages");
    chart.body += Text(x + slot * 0.5, chart.height - chart.bottom + 16, counts.lines == 0 ? label + " (no logs)" : label);
    if (counts.Verdicts() == 0) continue;
    // The share on the chart's own scale: 0 at the foot, 100 % at the top.
    const double y = chart.top + chart.PlotHeight() * (1 - static_cast<double>(counts.spam) / static_cast<double>(counts.Verdicts()));
    points += Fixed(x + slot * 0.5, 1) + "," + Fixed(y, 1) + " ";
    chart.body += "<circle cx=\"" + Fixed(x + slot * 0.5, 1) + "\" cy=\"" + Fixed(y, 1) + "\" r=\"3\" fill=\"#e15759\"><title>" + label +
                  ": spam " + Share(counts.spam, counts.Verdicts()) + "</title></circle>";
  }
  chart.body += "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"#e15759\" points=\"" + points + "\"/>";
  return chart.Svg("chart-trend", "Messages and spam share, period by period");
}

// The top sender domains of one verdict, as a table.
std::string DomainTable(const TopCounts& domains, long messages) {
  const auto top = domains.Top(10);
  if (top.empty()) return "<p class=\"muted\">None.</p>";
  std::string table = "<table><tr><th>Domain</th><th class=\"n\">Messages</th><th class=\"n\">Share</th></tr>";
  for (const auto& [domain, n] : top) {
    table += "<tr><td>" + EscapeHtml(domain) + "</td><td class=\"n\">" + std::to_string(n) + "</td><td class=\"n\">" + Share(n, messages) + "</td></tr>";
  }
  return table + "</table>";
}

// The rules that hit most, as bars with their counts.
std::string RuleChart(const std::map<std::string, long>& rules, long messages, const char* id, const char* color, std::string* table) {
  std::vector<std::pair<long, std::string>> top;
  for (const auto& [rule, n] : rules) top.emplace_back(n, rule);
  std::sort(top.begin(), top.end(), [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
  if (top.size() > 15) top.resize(15);
  Chart chart;
  // Room on the right for the longest bar's count.
  chart.width = 460, chart.left = 170, chart.right = 12 + 7 * static_cast<double>(std::to_string(top.empty() ? 0 : top.front().first).size());
  chart.height = 24 + 20 * static_cast<double>(std::max<std::size_t>(top.size(), 1)), chart.bottom = 12;
  const double most = top.empty() ? 1 : static_cast<double>(top.front().first);
  *table = "<table><tr><th>Rule</th><th class=\"n\">Messages</th><th class=\"n\">Share</th></tr>";
  for (std::size_t i = 0; i < top.size(); ++i) {
    const auto& [n, rule] = top[i];
    const double y = chart.top + 20 * static_cast<double>(i);
    chart.body += Text(chart.left - 6, y + 13, rule.substr(0, 26), "end") +
                  Rect(chart.left, y + 3, chart.PlotWidth() * static_cast<double>(n) / most, 14, color, rule + ": " + std::to_string(n)) +
                  Text(chart.left + chart.PlotWidth() * static_cast<double>(n) / most + 4, y + 14, std::to_string(n), "start", 10);
    *table += "<tr><td><code>" + EscapeHtml(rule) + "</code></td><td class=\"n\">" + std::to_string(n) + "</td><td class=\"n\">" +
              Share(n, messages) + "</td></tr>";
  }
  *table += "</table>";
  if (top.empty()) chart.body += Text(chart.width / 2, 20, "no rule hit");
  return chart.Svg(id, "Rules that hit most", "", false);
}

// The lines of a test-mode run: scanned, nothing done.
long TestModeCount(const PeriodCounts& counts) {
  long n = 0;
  for (std::size_t k = 0; k < kReportOutcomeCount; ++k) n += IsTestModeOutcome(kReportOutcomes[k]) ? counts.outcomes[k] : 0;
  return n;
}

// True when no day of the previous period has a scan log: its zeros are no
// figures to compare with.
bool PreviousWithoutLogs(const ReportData& data) {
  for (std::string day = data.period.previous_first; !day.empty() && day <= data.period.previous_last; day = AddDays(day, 1)) {
    if (data.days_without_logs.count(day) == 0) return false;
  }
  return true;
}

// The near misses' measure: the one required score of the lines, or each
// line's own where they differ.
std::string RequiredScoreWords(const ReportData& data) {
  if (data.required_scores.size() > 1) return "their own line's required score (the lines differ; most say " + data.RequiredScore() + ")";
  return "the required score " + (data.RequiredScore().empty() ? std::string("-") : data.RequiredScore());
}

std::string Figure(const char* name, long value) { return "<td class=\"n\" data-figure=\"" + std::string(name) + "\">" + std::to_string(value) + "</td>"; }

}  // namespace

void WriteReportHtml(std::ostream& out, const ReportData& data, const QuarantineSummary& quarantine, const ReportContext& context) {
  const ReportPeriod& p = data.period;
  const std::string period = p.SingleDay() ? p.first : p.first + " to " + p.last;
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; img-src data:\">"
      << "<meta name=\"viewport\" content=\"width=device-width\"><title>saplugin report, " << period << "</title><style>" << kStyle
      << "</style></head>\n<body>\n<header><h1>saplugin report: " << period << "</h1><p>Compared with the "
      << (p.SingleDay() ? "day before, " + p.previous_first : "previous period, " + p.previous_first + " to " + p.previous_last) << ".</p>"
      << "<p class=\"muted volatile\">Made " << EscapeHtml(context.made) << " from the scan logs in " << EscapeHtml(context.logs_folder)
      << (quarantine.configured ? " and the quarantine in " + EscapeHtml(quarantine.folder) : std::string()) << ".</p>\n";
  for (const std::string& note : context.notes) out << "<p class=\"note\">" << EscapeHtml(note) << "</p>\n";
  const bool unlogged = PreviousWithoutLogs(data);
  if (unlogged) {
    out << "<p class=\"note\">The " << (p.SingleDay() ? "day before" : "previous period") << " has no scan log: there is nothing to compare with, "
        << "and its figures stand at 0.</p>\n";
  }
  long skipped = 0;
  for (const auto& [reason, n] : data.skipped) {
    skipped += n;
    const auto where = data.skipped_where.find(reason);
    out << "<p class=\"note\">" << n << " line" << (n == 1 ? "" : "s") << " skipped: " << EscapeHtml(reason)
        << (where == data.skipped_where.end() || where->second.empty() ? "" : " (the first: " + EscapeHtml(where->second) + ")") << "</p>\n";
  }
  out << "</header>\n";

  // The totals.
  const PeriodCounts& c = data.current;
  const PeriodCounts& b = data.previous;
  out << "<section id=\"totals\"><h2>Totals</h2><table><tr><th></th><th class=\"n\">This period</th><th class=\"n\">Previous</th>"
         "<th class=\"n\">Change</th></tr>\n";
  const auto row = [&](const char* label, const char* name, long now, long before, const std::string& note = "") {
    out << "<tr><td>" << label << note << "</td>" << Figure(name, now) << "<td class=\"n\">" << before << "</td><td class=\"n\">"
        << (unlogged ? "-" : Change(now, before)) << "</td></tr>\n";
  };
  row("Messages", "messages", c.messages, b.messages, " <span class=\"muted\">(runs that found their message)</span>");
  row("Spam", "spam", c.spam, b.spam,
      " <span class=\"muted\">(" + Share(c.spam, c.Verdicts()) + " of the " + std::to_string(c.Verdicts()) + " messages that got a verdict; before " +
          Share(b.spam, b.Verdicts()) + ")</span>");
  row("Quarantined", "quarantined", c.Outcome("quarantined"), b.Outcome("quarantined"));
  row("Deleted", "deleted", c.Outcome("deleted"), b.Outcome("deleted"));
  row("Left unscanned: too large", "too-large", c.Outcome("too-large"), b.Outcome("too-large"));
  row("Left unscanned: filter failed", "filter-failed", c.Outcome("filter-failed") + c.Outcome("no-message"),
      b.Outcome("filter-failed") + b.Outcome("no-message"));
  row("Left unscanned: time limit", "time-limit", c.Outcome("time-limit"), b.Outcome("time-limit"));
  row("Ended in the trap", "trap", c.Outcome("trap"), b.Outcome("trap"));
  if (TestModeCount(c) + TestModeCount(b) > 0) {
    row("In test mode", "test-mode", TestModeCount(c), TestModeCount(b), " <span class=\"muted\">(scanned, logged as what would have been done, left as they arrived)</span>");
  }
  if (c.Outcome("bypassed") + b.Outcome("bypassed") > 0) {
    row("Passed unscanned: BYPASS", "bypassed", c.Outcome("bypassed"), b.Outcome("bypassed"));
  }
  row("Released from the quarantine", "released", c.releases, b.releases,
      " <span class=\"muted\">(by an operator, each release once; with the recipients': " + ReleaseRate(c) + "; before " + ReleaseRate(b) + ")</span>");
  if (c.recipient_releases + b.recipient_releases + c.refused_requests + b.refused_requests > 0) {
    row("Released by recipients", "recipient-released", c.recipient_releases, b.recipient_releases,
        " <span class=\"muted\">(by a reply to the digest; " + std::to_string(c.refused_requests) + " requests released nothing, before " +
            std::to_string(b.refused_requests) + ")</span>");
  }
  out << "<tr><td>Mail scanned</td><td class=\"n\">" << Bytes(c.bytes) << "</td><td class=\"n\">" << Bytes(b.bytes) << "</td><td class=\"n\">"
      << (unlogged ? "-" : Change(static_cast<long>(c.bytes / 1024), static_cast<long>(b.bytes / 1024))) << "</td></tr>\n";
  out << "</table><p class=\"muted\">" << data.lines << " log lines read" << (skipped ? ", " + std::to_string(skipped) + " skipped" : "")
      << (data.out_of_range ? ", " + std::to_string(data.out_of_range) + " outside the periods shown" : "") << ".</p></section>\n";

  out << "<section id=\"trend\"><h2>The last " << kTrendPeriods << " periods of " << p.length << " day" << (p.length == 1 ? "" : "s")
      << "</h2>" << TrendChart(data) << Legend({{"#a0cbe8", "messages (the scale on the left)"}, {"#e15759", "spam share (the scale on the right)"}})
      << "</section>\n";
  out << "<section id=\"senders\"><h2>Sender domains, from the From field</h2><div class=\"cols\"><div><h3>Of spam</h3>"
      << DomainTable(data.spam_domains, c.spam) << "</div><div><h3>Of clean mail</h3>" << DomainTable(data.clean_domains, c.clean)
      << "</div></div></section>\n";

  std::string legend;
  out << "<section id=\"per-day\"><h2>Messages per " << (p.SingleDay() ? "hour" : "day") << ", by outcome</h2>" << BucketChart(data, &legend)
      << legend << "</section>\n";

  out << "<section id=\"scores\"><h2>Scores</h2>" << ScoreChart(data)
      << Legend({{"#4e79a7", "clean"}, {"#e15759", "spam"}}) << "<p>Near misses (clean messages at "
      << EscapeHtml(RequiredScoreWords(data)) << " or within one point below it): <strong data-figure=\"near-misses\">" << data.near_misses
      << "</strong>. They are where tuning the rules pays most. Likely false positives (spam at the required score or within one point above "
         "it): <strong data-figure=\"near-spam\">" << data.near_spam << "</strong>"
      << (data.quarantine_holds == nullptr ? "; the quarantine is not read, so none is offered for release."
          : data.near_spam_quarantined.empty() ? "; none of them is in the quarantine now." : "; the newest of them that the quarantine holds now:") << "</p>";
  if (!data.near_spam_quarantined.empty()) {
    out << "<table><tr><th>Time</th><th class=\"n\">Score</th><th>From</th><th>Subject</th><th>To release it</th></tr>";
    for (const NearSpam& spam : data.near_spam_quarantined) {
      out << "<tr><td>" << EscapeHtml(spam.time.substr(0, 16)) << "</td><td class=\"n\">" << Fixed(spam.score, 1) << "</td><td>"
          << EscapeHtml(DecodeEncodedWords(spam.from)) << "</td><td>" << EscapeHtml(DecodeEncodedWords(spam.subject))
          << "</td><td><code>saquarantine release " << EscapeHtml(spam.id) << "</code></td></tr>";
    }
    out << "</table>";
  }
  out << "</section>\n";

  std::string spam_table, clean_table;
  const std::string spam_chart = RuleChart(data.spam_rules, c.spam, "chart-rules-spam", "#e15759", &spam_table);
  const std::string clean_chart = RuleChart(data.clean_rules, c.clean, "chart-rules-clean", "#4e79a7", &clean_table);
  out << "<section id=\"rules\"><h2>Rules that hit most</h2><p class=\"muted\">A rule's share is of the messages of that verdict.</p>"
         "<div class=\"cols\"><div><h3>On spam</h3>" << spam_chart << spam_table
      << "</div><div><h3>On clean mail</h3>" << clean_chart << clean_table << "</div></div></section>\n";

  out << "<section id=\"filter-time\"><h2>Filter time per day</h2>" << TimeChart(data)
      << Legend({{"#4e79a7", "median"}, {"#f28e2b", "95th percentile"}, {"#e15759", "99th percentile"}})
      << "<p class=\"muted\">Of the scans that ended normally; a scan ended by the time limit or a failure shows in the slowest table with its "
         "outcome.</p><table><tr><th>Day</th><th class=\"n\">Scanned</th><th class=\"n\">Median</th><th class=\"n\">95th</th><th class=\"n\">99th</th></tr>";
  for (const auto& [day, times] : data.filter_times) {
    out << "<tr><td>" << day << "</td><td class=\"n\">" << times.Count() << "</td><td class=\"n\">" << Fixed(times.Percentile(0.5), 2) + " s"
        << "</td><td class=\"n\">" << Fixed(times.Percentile(0.95), 2) + " s" << "</td><td class=\"n\">" << Fixed(times.Percentile(0.99), 2) + " s"
        << "</td></tr>";
  }
  out << "</table><h3>The slowest messages</h3><table><tr><th>Time</th><th>Connector</th><th>Message</th><th>Subject</th><th>Outcome</th><th class=\"n\">Seconds</th></tr>";
  for (const SlowMessage& slow : data.slowest) {
    out << "<tr><td>" << EscapeHtml(slow.time) << "</td><td>" << EscapeHtml(slow.connector) << "</td><td>" << EscapeHtml(slow.message)
        << "</td><td>" << EscapeHtml(DecodeEncodedWords(slow.subject)) << "</td><td>" << EscapeHtml(slow.outcome) << "</td><td class=\"n\">" << Fixed(slow.seconds, 3)
        << "</td></tr>";
  }
  out << "</table></section>\n";

  out << "<section id=\"connectors\"><h2>Connectors</h2><table><tr><th>Connector</th><th class=\"n\">Messages</th><th class=\"n\">Spam</th>"
         "<th class=\"n\">Spam share</th><th class=\"n\">Failures</th></tr>";
  for (const auto& [name, counts] : data.connectors) {
    out << "<tr data-connector=\"" << EscapeHtml(name) << "\"><td>" << EscapeHtml(name.empty() ? "(none)" : name) << "</td>"
        << Figure("messages", counts.messages) << Figure("spam", counts.spam) << "<td class=\"n\">" << Share(counts.spam, counts.verdicts)
        << "</td>" << Figure("failures", counts.failures) << "</tr>";
  }
  out << "</table></section>\n";

  if (!data.hosts.empty()) {
    out << "<section id=\"hosts\"><h2>spamd hosts</h2><p class=\"muted\">Messages each host scanned and the filter times of its own exchanges (scans that "
           "ended normally with no host passed over before: the log times the wait on such a host too); failures are the runs that met the host failing, whether another host scanned the message or none did.</p>"
           "<table><tr><th>Host</th><th class=\"n\">Messages</th><th class=\"n\">Median</th><th class=\"n\">95th</th><th class=\"n\">Failures</th></tr>";
    for (const auto& [name, host] : data.hosts) {
      const bool timed = host.times.Count() > 0;
      out << "<tr data-host=\"" << EscapeHtml(name) << "\"><td>" << EscapeHtml(name) << "</td>" << Figure("messages", host.messages) << "<td class=\"n\">"
          << (timed ? Fixed(host.times.Percentile(0.5), 2) + " s" : "-") << "</td><td class=\"n\">" << (timed ? Fixed(host.times.Percentile(0.95), 2) + " s" : "-")
          << "</td>" << Figure("failures", host.failures) << "</tr>";
    }
    out << "</table></section>\n";
  }

  std::vector<std::pair<std::string, FailureKind>> failures(data.failures.begin(), data.failures.end());
  std::sort(failures.begin(), failures.end(), [](const auto& a, const auto& b) { return a.second.count > b.second.count; });
  out << "<section id=\"failures\"><h2>Failures by reason</h2>";
  if (failures.empty()) out << "<p>None in this period.</p>";
  else {
    out << "<table><tr><th>Outcome</th><th>Cause</th><th class=\"n\">Count</th><th>Newest</th><th>Its text</th></tr>";
    for (const auto& [kind, failure] : failures) {
      const std::size_t colon = kind.find(": ");
      out << "<tr><td>" << EscapeHtml(kind.substr(0, colon)) << "</td><td>" << EscapeHtml(colon == std::string::npos ? "" : kind.substr(colon + 2)) << "</td><td class=\"n\" data-figure=\"failure\">" << failure.count
          << "</td><td>" << EscapeHtml(failure.newest_time) << "</td><td>" << EscapeHtml(failure.example) << "</td></tr>";
    }
    out << "</table>";
  }
  out << "</section>\n";

  if (data.replay != nullptr && context.policy != nullptr) out << ReplaySectionHtml(*data.replay, *context.policy);

  out << "<section id=\"quarantine\"><h2>The quarantine</h2>";
  if (quarantine.left_out) {
    out << "<p>The quarantine is left out (--no-quarantine).</p>";
  } else if (!quarantine.configured) {
    out << "<p>No quarantine: QUARANTINEPATH is not set.</p>";
  } else if (!quarantine.problem.empty()) {
    out << "<p class=\"note\">" << EscapeHtml(quarantine.problem) << "</p>";
  } else {
    out << "<p><strong data-figure=\"quarantine-messages\">" << quarantine.messages << "</strong> messages, " << Bytes(quarantine.bytes);
    if (quarantine.messages > 0) {
      char oldest[32];
      const std::time_t when = static_cast<std::time_t>(quarantine.oldest);
      std::strftime(oldest, sizeof oldest, "%Y-%m-%d", std::localtime(&when));
      out << ", the oldest from " << oldest;
    }
    out << ".</p><table><tr><th>Quarantined</th><th class=\"n\">Score</th><th>From</th><th>Subject</th><th>To release it</th></tr>";
    for (const QuarantinedMessage& message : quarantine.newest) {
      out << "<tr><td>" << EscapeHtml(message.details.quarantined.empty() ? "-" : message.details.quarantined.substr(0, 16)) << "</td><td class=\"n\">"
          << EscapeHtml(message.score.empty() ? "-" : message.score) << "</td><td>" << EscapeHtml(DecodeEncodedWords(message.from)) << "</td><td>"
          << EscapeHtml(DecodeEncodedWords(message.subject)) << "</td><td><code>saquarantine release " << EscapeHtml(message.id) << "</code></td></tr>";
    }
    out << "</table>";
  }
  out << "</section>\n<footer class=\"muted\"><p>saplugin's scan log, read by sareport. The charts are drawn in the page; it loads nothing.</p></footer>\n"
         "</body></html>\n";
}

void WriteReportText(std::ostream& out, const ReportData& data, const QuarantineSummary& quarantine, const ReportContext& context) {
  const PeriodCounts& c = data.current;
  const PeriodCounts& b = data.previous;
  const ReportPeriod& p = data.period;
  out << "saplugin report, " << (p.SingleDay() ? p.first : p.first + " to " + p.last) << " (before: "
      << (p.SingleDay() ? p.previous_first : p.previous_first + " to " + p.previous_last) << ")\n";
  for (const std::string& note : context.notes) out << "  note: " << note << '\n';
  for (const auto& [reason, n] : data.skipped) out << "  note: " << n << " line" << (n == 1 ? "" : "s") << " skipped: " << reason << '\n';
  const bool unlogged = PreviousWithoutLogs(data);
  if (unlogged) out << "  note: the " << (p.SingleDay() ? "day before" : "previous period") << " has no scan log: nothing to compare with\n";
  const auto line = [&](const char* label, long now, long before) {
    char text[160];
    std::snprintf(text, sizeof text, "  %-30s %9ld  (before %ld, %s)\n", label, now, before, unlogged ? "-" : Change(now, before).c_str());
    out << text;
  };
  line("messages", c.messages, b.messages);
  line("spam", c.spam, b.spam);
  out << "  spam share of verdicts         " << Share(c.spam, c.Verdicts()) << "  (before " << Share(b.spam, b.Verdicts()) << ")\n";
  line("quarantined", c.Outcome("quarantined"), b.Outcome("quarantined"));
  line("deleted", c.Outcome("deleted"), b.Outcome("deleted"));
  line("unscanned: too large", c.Outcome("too-large"), b.Outcome("too-large"));
  line("unscanned: filter failed", c.Outcome("filter-failed") + c.Outcome("no-message"), b.Outcome("filter-failed") + b.Outcome("no-message"));
  line("unscanned: time limit", c.Outcome("time-limit"), b.Outcome("time-limit"));
  line("trap", c.Outcome("trap"), b.Outcome("trap"));
  if (TestModeCount(c) + TestModeCount(b) > 0) line("in test mode", TestModeCount(c), TestModeCount(b));
  if (c.Outcome("bypassed") + b.Outcome("bypassed") > 0) line("passed unscanned: BYPASS", c.Outcome("bypassed"), b.Outcome("bypassed"));
  line("released by an operator", c.releases, b.releases);
  if (c.recipient_releases + b.recipient_releases + c.refused_requests + b.refused_requests > 0) {
    line("released by recipients", c.recipient_releases, b.recipient_releases);
    line("requests that released nothing", c.refused_requests, b.refused_requests);
  }
  out << "  release rate                   " << ReleaseRate(c) << "  (before " << ReleaseRate(b) << ")\n";
  out << "  mail scanned                   " << Bytes(c.bytes) << "  (before " << Bytes(b.bytes) << ")\n";
  out << "  trend, messages (oldest first):";
  for (int k = kTrendPeriods - 1; k >= 0; --k) {
    const PeriodCounts& then = data.trend[static_cast<std::size_t>(k)];
    out << ' ' << (then.lines == 0 ? std::string("-") : std::to_string(then.messages));
  }
  out << '\n';
  out << "  near misses (clean, within one point of " << RequiredScoreWords(data) << "): " << data.near_misses << '\n';
  for (const auto& [name, host] : data.hosts) {
    const bool timed = host.times.Count() > 0;
    out << "  spamd " << name << ": " << host.messages << " messages, median " << (timed ? Fixed(host.times.Percentile(0.5), 2) + " s" : "-") << ", 95th "
        << (timed ? Fixed(host.times.Percentile(0.95), 2) + " s" : "-") << ", " << host.failures << " failure" << (host.failures == 1 ? "" : "s") << '\n';
  }
  if (!data.slowest.empty()) out << "  slowest filter: " << Fixed(data.slowest.front().seconds, 2) + " s" << " (" << data.slowest.front().message << ")\n";
  if (data.replay != nullptr && context.policy != nullptr) WriteReplayText(out, *data.replay, *context.policy);
  if (quarantine.configured && quarantine.problem.empty()) {
    out << "  quarantine: " << quarantine.messages << " messages, " << Bytes(quarantine.bytes) << '\n';
  }
}

}  // namespace saplugin
