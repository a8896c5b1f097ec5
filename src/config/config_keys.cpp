#include "config/config_keys.h"

#include <iterator>

#include "config/conversions.h"
#include "config/spamd_hosts.h"
#include "platform/text.h"
#include "store/addresses.h"

namespace saplugin {

namespace {

constexpr unsigned kEverySection = kInMainSection | kInConnectorSection;

// A number of seconds, at most a day, so that no wait's time can wrap.
std::int32_t ToSeconds(const std::string& value, const char* key, const std::string& label) {
  const std::int32_t seconds = ToInteger32(value, key, label);
  return seconds > kLongestTimeLimit ? kLongestTimeLimit : seconds;
}

// A score that a connector's "none" takes away.
std::optional<double> ScoreOrNone(const std::string& value, const char* key, const std::string& label, bool connector) {
  if (connector && SameIgnoringCase(value, "none")) return std::nullopt;
  return ToScore(value, key, label);
}

// The domains of a comma-separated list, in lower case.
std::vector<std::string> ParseDomains(const std::string& value) {
  std::vector<std::string> domains;
  std::size_t start = 0;
  for (std::size_t n = 1;; ++n) {
    const std::size_t comma = value.find(',', start);
    const std::string domain = LowerCase(Trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start), " "));
    if (!IsPlainAddress("x@" + domain)) {
      throw SettingError(kErrorTypeMismatch, "DIGESTDOMAINS",
                         "Type mismatch: DIGESTDOMAINS \"" + value + "\": entry " + std::to_string(n) + " \"" + domain + "\" is no domain");
    }
    domains.push_back(domain);
    if (comma == std::string::npos) return domains;
    start = comma + 1;
  }
}

// Captureless lambdas, one a key: the table reads as the list of keys.
const ConfigKey kTable[] = {
    {"QUARANTINE", kEverySection, true,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool) { o.Quarantine = ToInteger16(v, "QUARANTINE", label); }},
    {"MAXMESSAGESIZE", kEverySection, true,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool) {
       o.MaxMessageSize = ToInteger32(v, "MAXMESSAGESIZE", label);
     }},
    // Only "1" keeps: sacheck warns of any other value.
    {"KEEPORIGINAL", kEverySection, true, [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.KeepOriginal = v == "1"; }},
    {"SPAMSCORE", kEverySection, true,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool connector) {
       o.SpamScore = ScoreOrNone(v, "SPAMSCORE", label, connector);
     }},
    {"HIGHSCORE", kEverySection, true,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool connector) {
       o.HighScore = ScoreOrNone(v, "HIGHSCORE", label, connector);
     }},
    {"HIGHSCOREACTION", kEverySection, true,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool) {
       o.HighScoreAction = ToInteger16(v, "HIGHSCOREACTION", label);
     }},
    {"TESTMODE", kEverySection, true, [](PluginOptions& o, const std::string& v, const std::string& label, bool) {
       o.TestMode = ToSwitch(v, "TESTMODE", label);
     }},
    // Passing mail unscanned is a connector's matter alone; in the main
    // section the value is still checked, since "BYPASS=yes" is meant as something.
    {"BYPASS", kInConnectorSection, true,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool connector) {
       const bool bypass = ToSwitch(v, "BYPASS", label);
       if (connector) o.Bypass = bypass;
     }},
    {"QUARANTINEPATH", kInMainSection, false, [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.QuarantinePath = v; }},
    {"SPAMASSASSINEXE", kInMainSection, false, [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.SpamAssassinExe = v; }},
    {"SPAMASSASSINRULESPATH", kEverySection, false,
     [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.SpamAssassinRulesPath = v; }},
    {"TEMPPATH", kInMainSection, false, [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.TempPath = v; }},
    {"SCANTIMELIMIT", kEverySection, false,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool) { o.ScanTimeLimit = ToSeconds(v, "SCANTIMELIMIT", label); }},
    // "none" in a connector's section: no pool, the batch file's filter.
    {"SPAMDHOSTS", kEverySection, false,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool connector) {
       if (connector && SameIgnoringCase(v, "none")) o.SpamdHosts.clear();
       else o.SpamdHosts = ParseSpamdHosts(v, label);
     }},
    // 0 or less: the default.
    {"SPAMDTIMEOUT", kEverySection, false,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool) {
       const std::int32_t seconds = ToSeconds(v, "SPAMDTIMEOUT", label);
       o.SpamdTimeout = seconds > 0 ? seconds : kDefaultSpamdTimeout;
     }},
    {"SPAMDRETRYAFTER", kInMainSection, false,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool) {
       const std::int32_t seconds = ToSeconds(v, "SPAMDRETRYAFTER", label);
       o.SpamdRetryAfter = seconds > 0 ? seconds : kDefaultSpamdRetryAfter;
     }},
    {"QUARANTINEDAYS", kInMainSection, false,
     [](PluginOptions& o, const std::string& v, const std::string& label, bool) { o.QuarantineDays = ToInteger32(v, "QUARANTINEDAYS", label); }},
    {"SALEARNEXE", kInMainSection, false, [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.SaLearnExe = v; }},
    // As written: the loader expands its variables, with the platform's environment.
    {"SCANLOGPATH", kInMainSection, false, [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.ScanLogPath = v; }},
    {"DIGESTSMTP", kInMainSection, false,
     [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.DigestSmtp = ParseServer(v, "DIGESTSMTP", 25); }},
    {"DIGESTFROM", kInMainSection, false,
     [](PluginOptions& o, const std::string& v, const std::string&, bool) {
       if (!IsPlainAddress(v)) {
         throw SettingError(kErrorTypeMismatch, "DIGESTFROM", "Type mismatch: DIGESTFROM \"" + v + "\" is no address (name@domain, without a display name)");
       }
       o.DigestFrom = LowerCase(v);
     }},
    {"DIGESTDOMAINS", kInMainSection, false,
     [](PluginOptions& o, const std::string& v, const std::string&, bool) { o.DigestDomains = ParseDomains(v); }},
};

}  // namespace

const ConfigKey* ConfigKeys::begin() const { return std::begin(kTable); }
const ConfigKey* ConfigKeys::end() const { return std::end(kTable); }

const ConfigKey* FindConfigKey(const std::string& name) {
  for (const ConfigKey& key : ConfigKeys()) {
    if (SameIgnoringCase(key.name, name)) return &key;
  }
  return nullptr;
}

bool BelongsIn(const ConfigKey& key, bool connector) { return (key.places & (connector ? kInConnectorSection : kInMainSection)) != 0; }

}  // namespace saplugin
