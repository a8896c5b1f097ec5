#include "check/policy_check.h"

#include <algorithm>
#include <cstdio>

#include "config/config_keys.h"
#include "config/conversions.h"
#include "config/load_options.h"
#include "helpers/batch_text.h"
#include "platform/text.h"
#include "store/run_plan.h"

namespace saplugin {

namespace {

// Whether a key does something in that kind of section.
bool Known(const std::string& name, bool connector) {
  const ConfigKey* key = FindConfigKey(name);
  return key != nullptr && BelongsIn(*key, connector);
}

bool IsMainSection(const OutlineSection& section) { return SameIgnoringCase(section.name, kConfigSection); }

bool IsConnectorSection(const OutlineSection& section) {
  const std::string prefix = kConnectorSectionPrefix;
  return section.name.size() > prefix.size() && SameIgnoringCase(section.name.substr(0, prefix.size()), prefix);
}

// The line of a key in a section; 0 when the section does not hold it.
int KeyLine(const OutlineSection* section, const char* key) {
  if (section == nullptr) return 0;
  for (const OutlineKey& found : section->keys) {
    if (SameIgnoringCase(found.name, key)) return found.line;
  }
  return 0;
}

std::string LineSubject(int line, const std::string& otherwise) { return line > 0 ? "line " + std::to_string(line) : otherwise; }

// A score as an operator writes one: "15", "6.5".
std::string ScoreText(double score) {
  char text[48];
  std::snprintf(text, sizeof text, "%.9f", score);
  std::string shown = text;
  shown.erase(shown.find_last_not_of('0') + 1);
  if (shown.back() == '.') shown.pop_back();
  return shown;
}

// A score as the filter writes one, for DecidePolicy: every digit a setting may hold.
std::string FilterScore(double score) {
  char text[48];
  std::snprintf(text, sizeof text, "%.9f", score);
  return text;
}

// The policy in one line, its words those of the scan log, each decided by
// DecidePolicy as a run decides it; more goes before the mode.
std::string DescribePolicy(const PluginOptions& options, const std::string& more) {
  if (options.Bypass && !options.TestMode) return "passed unscanned (bypassed)" + more;
  PluginOptions plain = options;
  plain.TestMode = false;
  std::string text = options.SpamScore ? "spam at score " + ScoreText(*options.SpamScore) + " or more (by the flag without a score)"
                                       : "spam by the filter's flag";
  text += "; spam -> " + DecidePolicy(plain, true, "").outcome;
  if (options.HighScore && options.HighScoreAction) {
    // Spam at least: below SPAMSCORE a high score is no spam at all.
    const double high = options.SpamScore && *options.SpamScore > *options.HighScore ? *options.SpamScore : *options.HighScore;
    text += "; high score " + ScoreText(*options.HighScore) + " -> " + DecidePolicy(plain, true, FilterScore(high)).outcome;
  }
  text += "; clean -> " + DecidePolicy(plain, false, "").outcome;
  if (options.MaxMessageSize > 0) text += "; over " + std::to_string(options.MaxMessageSize) + " bytes unscanned";
  text += more;
  if (options.TestMode) text += options.Bypass ? " (bypass in test mode: scanned, logged as would-bypass)" : " (test mode)";
  return text;
}

// HIGHSCORE's findings for a section's effective options; lines name the
// section's own key, else the main section's.
void CheckHighScore(const PluginOptions& options, const std::string& label, const OutlineSection* section, const OutlineSection* main,
                    const std::string& required, std::vector<CheckLine>& lines) {
  if (!options.HighScore) return;
  const auto line = [&](const char* key) {
    const int own = KeyLine(section, key);
    return LineSubject(own > 0 ? own : KeyLine(main, key), label);
  };
  const std::string high = "HIGHSCORE " + ScoreText(*options.HighScore);
  if (!options.HighScoreAction) {
    lines.push_back({"WARNING", line("HIGHSCORE"), label + high + " without HIGHSCOREACTION changes nothing: spam at any score gets QUARANTINE's action"});
    return;
  }
  PluginOptions plain = options;
  plain.TestMode = false;
  const std::string outcome = DecidePolicy(plain, true, FilterScore(std::max(*options.HighScore, options.SpamScore.value_or(*options.HighScore)))).outcome;
  if (options.SpamScore) {
    if (*options.HighScore <= *options.SpamScore) {
      lines.push_back({"WARNING", line("HIGHSCORE"), label + high + " is not above SPAMSCORE " + ScoreText(*options.SpamScore) +
                                                         ": all spam with a score is " + outcome + ", and QUARANTINE's action is left to spam without one"});
    }
    return;
  }
  // The flag decides spam: SpamAssassin flags from its rules' required score.
  double threshold = 0;
  if (!ReadScore(required, &threshold)) {
    lines.push_back({"WARNING", line("HIGHSCORE"), label + high + " is not compared with the rules' required score, which is unknown: the trial scan of GTUBE gave none"});
  } else if (*options.HighScore <= threshold) {
    lines.push_back({"WARNING", line("HIGHSCORE"), label + high + " is not above the rules' required score " + required +
                                                       " (the trial scan's): all flagged spam with a score is " + outcome +
                                                       ", and QUARANTINE's action is left to spam without one"});
  }
}

// A section's value of a key as a run reads it: trimmed, empty when missing.
std::string SectionValue(Platform& platform, const std::string& file, const std::string& section, const char* key) {
  char buffer[255] = {};
  const std::uint32_t length = platform.ReadProfileString(section, key, "", buffer, sizeof buffer, file);
  return Trim(std::string(buffer, length), " ");
}

}  // namespace

std::string KeepOriginalProblem(const std::string& value) {
  if (value.empty() || value == "0" || value == "1") return "";
  return "KEEPORIGINAL \"" + value + "\" is off: only 1 keeps clean messages as received, so they are tagged; write KEEPORIGINAL=1 to keep them";
}

std::string ConnectorNameProblem(const std::string& connector) {
  if (connector.find_first_of("[]") == std::string::npos) return "";
  return "its name holds \"[\" or \"]\": no run finds a section [" + std::string(kConnectorSectionPrefix) + connector +
         "] (a section's name ends at its first \"]\"), so its runs always take the main section's policy; rename the connector to use one";
}

std::vector<CheckLine> CheckOutline(const ConfigOutline& outline) {
  std::vector<CheckLine> lines;
  const auto warn = [&](int line, const std::string& text) { lines.push_back({"WARNING", LineSubject(line, "configuration"), text}); };
  if (outline.utf16) {
    warn(0, "the file is UTF-16 text: its keys' lines are not checked");
    return lines;
  }
  for (const OutlineSection& section : outline.sections) {
    const std::string label = section.line == 0 ? "" : "[" + section.name + "] ";
    if (section.first_line > 0) {
      warn(section.line, label + "again: runs read only its first occurrence, at line " + std::to_string(section.first_line) +
                             ", and ignore the keys below this one");
      continue;
    }
    const bool main = IsMainSection(section), connector = IsConnectorSection(section);
    if (section.line == 0) {
      for (const OutlineKey& key : section.keys) warn(key.line, key.name + " stands before any section: runs never read it");
      continue;
    }
    if (!main && !connector) {
      if (!section.keys.empty()) {
        warn(section.line, label + "is no section saplugin reads, and its keys are ignored: the main section is [" + std::string(kConfigSection) +
                               "], a connector's [" + kConnectorSectionPrefix + "NAME]");
      }
      continue;
    }
    for (std::size_t i = 0; i < section.keys.size(); ++i) {
      const OutlineKey& key = section.keys[i];
      // The first line of the name decides: one without "=" hides those below it.
      int before = 0;
      bool hidden = false;
      for (std::size_t j = 0; j < i && before == 0; ++j) {
        if (SameIgnoringCase(section.keys[j].name, key.name)) {
          before = section.keys[j].line;
          hidden = !section.keys[j].has_equals;
        }
      }
      const bool known = Known(key.name, connector);
      if (!key.has_equals) {
        warn(key.line, label + "\"" + key.name + "\" holds no \"=\": no value is read from it" +
                           (known && before == 0 ? ", and it hides any " + key.name + " below it" : ""));
      } else if (before > 0) {
        warn(key.line, label + key.name + (hidden ? " is hidden by line " + std::to_string(before) + ", which holds no \"=\": runs read none"
                                                  : " again: runs take the one at line " + std::to_string(before)));
      } else if (main && SameIgnoringCase(key.name, "BYPASS")) {
        warn(key.line, label + "BYPASS does nothing in the main section: it belongs in a connector's section, and only for "
                               "one that carries trusted mail");
      } else if (connector && !known && Known(key.name, false)) {
        warn(key.line, label + key.name + " belongs in the main section: a connector section cannot hold it, and the connector's runs use the main "
                               "section's");
      } else if (!known) {
        warn(key.line, label + key.name + " is no key saplugin reads: runs ignore it");
      }
    }
  }
  return lines;
}

std::vector<CheckLine> CheckPolicies(Platform& platform, const std::string& file, const ConfigOutline& outline, const PluginOptions& main,
                                     const std::optional<QueueFolders>& queues, const std::string& required) {
  std::vector<CheckLine> lines;
  const OutlineSection* main_section = nullptr;
  for (const OutlineSection& section : outline.sections) {
    if (section.first_line == 0 && section.line > 0 && IsMainSection(section) && main_section == nullptr) main_section = &section;
  }
  const auto policy = [&](const std::string& subject, const PluginOptions& options, const std::string& more) {
    lines.push_back({options.TestMode ? "WARNING" : "OK", subject,
                     DescribePolicy(options, more) +
                         (options.TestMode ? ": messages are scanned and logged as what would be done, and left as they arrive" : "")});
  };
  policy("policy, main", main, "");
  CheckHighScore(main, "", main_section, main_section, required, lines);

  for (const OutlineSection& section : outline.sections) {
    if (section.first_line > 0 || section.line == 0 || !IsConnectorSection(section)) continue;
    const std::string name = section.name.substr(std::string(kConnectorSectionPrefix).size());
    const std::string label = "[" + section.name + "] ";
    if (queues) {
      bool found = false;
      for (const std::string& connector : queues->names) found = found || SameIgnoringCase(connector, name);
      std::string known;
      for (const std::string& connector : queues->names) known += (known.empty() ? "" : ", ") + connector;
      if (!found) {
        lines.push_back({"WARNING", LineSubject(section.line, label), label + "names no connector: " + queues->folder + " has no folder " + name +
                                                                          ", so no run reads this section (the connectors: " +
                                                                          (known.empty() ? "none" : known) + ")"});
      }
    }
    PluginOptions options = main;
    bool set = false;
    try {
      set = LoadConnectorOptions(platform, file, name, options);
    } catch (const Error& error) {
      // A setting's error names its key: its line.
      const auto* setting = dynamic_cast<const SettingError*>(&error);
      const int line = setting != nullptr ? KeyLine(&section, setting->Key().c_str()) : 0;
      lines.push_back({"FAIL", LineSubject(line, label), error.Description() + ": every run of connector " + name +
                                                             " stops before scanning (exit status 2), and its messages pass unscanned"});
      continue;
    }
    const std::string subject = "policy, [" + section.name + "]";
    if (!set) {
      lines.push_back({"OK", subject, "the section sets no key: the main section's policy"});
      continue;
    }
    std::string own, none;
    // What a connector section sets besides the policy: named on its policy line.
    for (const ConfigKey& key : ConfigKeys()) {
      if (key.policy || !BelongsIn(key, true) || KeyLine(&section, key.name) == 0) continue;
      if (SameIgnoringCase(key.name, "SPAMDHOSTS") && IsNoneValue(SectionValue(platform, file, section.name, key.name))) continue;
      own += (own.empty() ? "; its own " : ", ") + std::string(key.name);
    }
    for (const char* key : {"SPAMSCORE", "HIGHSCORE", "SPAMDHOSTS"}) {
      if (IsNoneValue(SectionValue(platform, file, section.name, key))) none += (none.empty() ? "; none of the main section's " : ", ") + std::string(key);
    }
    // Without the pool, the connector's runs use the batch file's filter.
    const bool unpooled = !main.SpamdHosts.empty() && options.SpamdHosts.empty();
    if (unpooled) none += " (scanned through SPAMASSASSINEXE)";
    policy(subject, options, own + none);
    const std::string exe = ExpandBatchText(options.SpamAssassinExe, [&](const std::string& name) { return platform.EnvironmentValue(name); });
    if (unpooled && !platform.CreateFileSystem()->FileExists(exe)) {
      lines.push_back({"FAIL", LineSubject(KeyLine(&section, "SPAMDHOSTS"), label),
                       label + "SPAMDHOSTS=none scans through SPAMASSASSINEXE, but " + (exe.empty() ? "it is not set" : exe + " is no program") +
                           ": every message of connector " + name + " is left unscanned; set SPAMASSASSINEXE in the main section"});
    }
    const std::string keep = KeepOriginalProblem(SectionValue(platform, file, section.name, "KEEPORIGINAL"));
    if (!keep.empty()) lines.push_back({"WARNING", LineSubject(KeyLine(&section, "KEEPORIGINAL"), label), label + keep});
    if (KeyLine(&section, "SPAMSCORE") > 0 || KeyLine(&section, "HIGHSCORE") > 0 || KeyLine(&section, "HIGHSCOREACTION") > 0) {
      CheckHighScore(options, label, &section, main_section, required, lines);
    }
  }
  return lines;
}

}  // namespace saplugin
