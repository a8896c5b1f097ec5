#include "report/replay_html.h"

#include <algorithm>

#include "config/load_options.h"
#include "platform/text.h"
#include "report/report_data.h"
#include "report/report_html.h"
#include "store/encoded_words.h"
#include "store/run_plan.h"

namespace saplugin {

namespace {

std::string ScoreText(double score) {
  std::string text = std::to_string(score);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

// What the action does under the policy: without a quarantine folder, a run
// tags what it would quarantine.
std::string ActionText(std::int16_t action, const PluginOptions& policy) {
  static const char* const kActions[] = {"tagged", "quarantined", "deleted"};
  if (action == 1 && policy.QuarantinePath.empty()) return "tagged (no quarantine folder)";
  return action >= 0 && action <= 2 ? kActions[action] : "left in the queue";
}

// The changes by count, most first: "quarantined > deleted: 12".
std::vector<std::pair<long, std::pair<std::string, std::string>>> ChangesByCount(const ReplayCounts& counts) {
  std::vector<std::pair<long, std::pair<std::string, std::string>>> changes;
  for (std::size_t i = 0; i < kReportOutcomeCount; ++i) {
    for (std::size_t j = 0; j < kReportOutcomeCount; ++j) {
      if (i != j && counts.cells[i][j] > 0) changes.push_back({counts.cells[i][j], {kReportOutcomes[i], kReportOutcomes[j]}});
    }
  }
  std::stable_sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  return changes;
}

// Outcome today (rows) against under the policy (columns), each in the
// order the charts stack them; the cells of a change stand out.
std::string Matrix(const ReplayCounts& counts, const std::string& attribute) {
  std::vector<std::size_t> rows, columns;
  for (std::size_t k = 0; k < kReportOutcomeCount; ++k) {
    bool row = false, column = false;
    for (std::size_t other = 0; other < kReportOutcomeCount; ++other) row |= counts.cells[k][other] > 0, column |= counts.cells[other][k] > 0;
    if (row) rows.push_back(k);
    if (column) columns.push_back(k);
  }
  if (rows.empty()) return "<p class=\"muted\">No line replayed.</p>";
  std::string table = "<table " + attribute + "><tr><th>Today \\ under the policy</th>";
  for (const std::size_t column : columns) table += "<th class=\"n\">" + EscapeHtml(OutcomeLabel(kReportOutcomes[column])) + "</th>";
  table += "</tr>";
  for (const std::size_t row : rows) {
    table += "<tr><th>" + EscapeHtml(OutcomeLabel(kReportOutcomes[row])) + "</th>";
    for (const std::size_t column : columns) {
      const long n = counts.cells[row][column];
      if (n == 0) {
        table += "<td class=\"n\"></td>";
        continue;
      }
      const std::string shown = std::to_string(n);
      table += std::string("<td class=\"n\" data-before=\"") + kReportOutcomes[row] + "\" data-after=\"" + kReportOutcomes[column] + "\">" +
               (row == column ? "<span class=\"muted\">" + shown + "</span>" : "<strong>" + shown + "</strong>") + "</td>";
    }
    table += "</tr>";
  }
  return table + "</table>";
}

std::string MessageTable(const NewestMessages& messages, bool with_before) {
  std::string table = "<table><tr><th>Time</th><th class=\"n\">Score</th><th>Connector</th><th>Subject</th>" +
                      std::string(with_before ? "<th>Today</th>" : "") + "<th>Under the policy</th></tr>";
  for (const ReplayedMessage& message : messages.List()) {
    table += "<tr><td>" + EscapeHtml(message.time.substr(0, 16)) + "</td><td class=\"n\">" + EscapeHtml(message.score.empty() ? "-" : message.score) +
             "</td><td>" + EscapeHtml(message.connector.empty() ? "(none)" : message.connector) + "</td><td>" +
             EscapeHtml(DecodeEncodedWords(message.subject)) + "</td>" + (with_before ? "<td>" + EscapeHtml(OutcomeLabel(message.before)) + "</td>" : "") +
             "<td>" + EscapeHtml(OutcomeLabel(message.after)) + "</td></tr>";
  }
  table += "</table>";
  if (messages.Unlisted() > 0) table += "<p class=\"muted\">And " + std::to_string(messages.Unlisted()) + " older ones.</p>";
  return table;
}

}  // namespace

std::string OutcomeLabel(const std::string& outcome) { return IsTestModeOutcome(outcome) ? outcome + " (test mode)" : outcome; }

std::string DescribePolicy(const PluginOptions& policy) {
  if (policy.Bypass && !policy.TestMode) return "passed unscanned (BYPASS)";
  std::string text = policy.SpamScore ? "spam from score " + ScoreText(*policy.SpamScore) + " (by the filter's flag without a score)"
                                      : "spam by the filter's flag";
  text += ": " + ActionText(policy.Quarantine, policy);
  if (policy.HighScore && policy.HighScoreAction) text += ", from score " + ScoreText(*policy.HighScore) + " " + ActionText(*policy.HighScoreAction, policy);
  text += std::string("; clean mail ") + (policy.KeepOriginal ? "kept as received" : policy.SpamScore ? "tagged (flagged, as received)" : "tagged");
  if (policy.MaxMessageSize > 0) text += "; over " + std::to_string(policy.MaxMessageSize) + " bytes unscanned";
  if (policy.Bypass) text += "; BYPASS";
  if (policy.TestMode) text += "; test mode: each message left as it arrived";
  return text;
}

std::string ReplaySectionHtml(const PolicyReplay& replay, const ReplayPolicyFile& policy) {
  const std::string file = EscapeHtml(policy.File());
  std::string html = "<section id=\"policy\"><h2>Under the policy of " + file + "</h2>"
                     "<p>The period's lines replayed by the run's own rules: what each message would have become had " + file +
                     " been the configuration, from the verdict, score and size its line holds. The filter's flag, where the "
                     "policy needs it (no SPAMSCORE, a line without a score, a flagged message that SPAMSCORE clears and that so "
                     "passes as received), is SpamAssassin's: above the required score, not below it, and at it (the log rounds both "
                     "to a tenth) the logged verdict. Its main section: " + EscapeHtml(DescribePolicy(policy.Main())) +
                     ".</p><p class=\"note\">" + EscapeHtml(policy.quarantine_note) + "</p>";
  if (!policy.main_sets_keys) {
    html += "<p class=\"note\">" + file + " sets none of the policy's keys in [" + kConfigSection + "]: runs would take their defaults.</p>";
  }
  std::string unused;
  for (const std::string& name : policy.connectors) {
    const bool seen = std::any_of(replay.connectors.begin(), replay.connectors.end(), [&](const auto& c) { return SameIgnoringCase(c.first, name); });
    if (!seen) unused += (unused.empty() ? "" : ", ") + name;
  }
  if (!unused.empty()) html += "<p class=\"note\">Sections of connectors without a line in the period: " + EscapeHtml(unused) + ".</p>";

  const ReplayCounts& all = replay.all;
  html += "<p><strong data-figure=\"replayed\">" + std::to_string(all.replayed) + "</strong> lines replayed, <strong data-figure=\"replay-changed\">" +
          std::to_string(all.changed) + "</strong> of them would change; <strong data-figure=\"not-replayed\">" + std::to_string(all.not_replayed) +
          "</strong> cannot be replayed.</p><h3>Outcome today against under the policy</h3>" + Matrix(all, "id=\"replay-all\"");
  if (replay.connectors.size() > 1 || !policy.connectors.empty()) {
    html += "<h3>Per connector</h3>";
    for (const auto& [name, counts] : replay.connectors) {
      html += "<h4>" + EscapeHtml(name.empty() ? "(none)" : name) + "</h4>";
      if (name != "(others)") html += "<p class=\"muted\">" + EscapeHtml(DescribePolicy(policy.For(name))) + ".</p>";
      html += Matrix(counts, "data-replay-connector=\"" + EscapeHtml(name) + "\"");
    }
  }
  html += "<h3>Messages that would change, newest first</h3>";
  html += replay.changes.Total() == 0 ? "<p>None.</p>" : MessageTable(replay.changes, true);

  html += "<h3>Released by an operator</h3><p class=\"muted\">The quarantine's known mistakes: each release line of the period, replayed "
          "as the quarantined message it names (its connector, size, score and required score as its run logged them).</p><p>Of " +
          std::to_string(replay.releases.Total()) + ", the policy would still quarantine or delete <strong data-figure=\"releases-caught\">" +
          std::to_string(replay.releases_caught) + "</strong> and let <strong data-figure=\"releases-through\">" +
          std::to_string(replay.releases_through) + "</strong> through.</p>";
  if (replay.releases.Total() > 0) html += MessageTable(replay.releases, false);

  html += "<h3>Lines that cannot be replayed</h3>";
  if (replay.not_replayed.empty()) {
    html += "<p>None.</p>";
  } else {
    html += "<p class=\"muted\">Their lines hold no verdict (the message was not scanned, the filter failed, the run found no message "
            "or ended in the trap), or a release mark let the message pass.</p><table><tr><th>Outcome today</th><th class=\"n\">Lines</th></tr>";
    for (const auto& [outcome, n] : replay.not_replayed) {
      html += "<tr><td>" + EscapeHtml(OutcomeLabel(outcome)) + "</td><td class=\"n\" data-not-replayed=\"" + EscapeHtml(outcome) + "\">" +
              std::to_string(n) + "</td></tr>";
    }
    html += "</table>";
  }
  return html + "</section>\n";
}

void WriteReplayText(std::ostream& out, const PolicyReplay& replay, const ReplayPolicyFile& policy) {
  const ReplayCounts& all = replay.all;
  out << "  under " << policy.File() << ": " << all.replayed << " lines replayed, " << all.changed << " would change";
  const auto changes = ChangesByCount(all);
  for (std::size_t i = 0; i < changes.size() && i < 10; ++i) {
    out << (i == 0 ? ": " : ", ") << OutcomeLabel(changes[i].second.first) << " > " << OutcomeLabel(changes[i].second.second) << ' '
        << changes[i].first;
  }
  out << (changes.size() > 10 ? ", ..." : "") << '\n';
  if (all.not_replayed > 0) {
    out << "    " << all.not_replayed << " cannot be replayed:";
    for (const auto& [outcome, n] : replay.not_replayed) out << ' ' << outcome << ' ' << n;
    out << '\n';
  }
  out << "    releases: " << replay.releases_caught << " still quarantined or deleted, " << replay.releases_through << " let through\n";
}

}  // namespace saplugin
