#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace saplugin {

// One host of a spamd pool.
struct SpamdHost {
  std::string host;  // a name or an address
  std::uint16_t port = 783;
};

// Seconds a spamd host may take over one message when SPAMDTIMEOUT is not set.
constexpr std::int32_t kDefaultSpamdTimeout = 60;
// Seconds a spamd host that failed is left out when SPAMDRETRYAFTER is not set.
constexpr std::int32_t kDefaultSpamdRetryAfter = 30;
// The longest SCANTIMELIMIT or SPAMDTIMEOUT taken (a longer one counts as this): a day.
constexpr std::int32_t kLongestTimeLimit = 86400;

// The plug-in's settings, filled once by LoadOptions and only read afterwards.
// After loading, QuarantinePath, TempPath and ScanLogPath are empty or end
// with "\", and an
// empty QuarantinePath implies Quarantine 0.
struct PluginOptions {
  // Action for a flagged message: 0 replace by the filtered copy, 1 move into
  // quarantine, 2 delete, anything else leave as it is.
  std::int16_t Quarantine = 0;
  // Messages larger than this many bytes are not scanned; 0 or less: no limit.
  std::int32_t MaxMessageSize = 0;
  // Keep a message that was not flagged as received, instead of replacing it.
  bool KeepOriginal = false;
  std::string QuarantinePath;
  std::string SpamAssassinExe;
  std::string SpamAssassinRulesPath;
  std::string TempPath;
  // Seconds the filter may take before it is ended and the message left
  // unscanned; 0 or less: no limit; at most kLongestTimeLimit.
  std::int32_t ScanTimeLimit = 0;
  // The longest a spamd host may take over one message (connecting, taking
  // the message and answering) before the next host is asked; 0 or less in
  // the file: kDefaultSpamdTimeout.
  std::int32_t SpamdTimeout = kDefaultSpamdTimeout;
  // Seconds a spamd host that failed a run is left out by the runs after it
  // (while another host is there to ask); 0 or less in the file: the default.
  std::int32_t SpamdRetryAfter = kDefaultSpamdRetryAfter;
  // The scan log's folder, ending with "\", its %NAME% variables expanded;
  // empty: no scan log.
  std::string ScanLogPath;
  // The spamd pool that scans messages; empty: the filter runs through the
  // batch file and the interpreter.
  std::vector<SpamdHost> SpamdHosts;
  // Days a quarantined message is kept before saquarantine purge removes it;
  // 0 or less: kept for ever.
  std::int32_t QuarantineDays = 0;
  // The SpamAssassin learning program that saquarantine learn runs when no
  // spamd pool is set; empty: none.
  std::string SaLearnExe;

  // The digests: the mail server's SMTP service that sends them (an empty
  // host: not set), their sender, where release requests go (empty: not
  // set), and the local domains, in lower case, whose recipients get one.
  SpamdHost DigestSmtp{"", 25};
  std::string DigestFrom;
  std::vector<std::string> DigestDomains;

  // The policy (in the main section, and for one connector in its section).
  // When set, a message is spam when its score is at least SpamScore and
  // not spam below it, whatever its flag says; one without a readable score
  // is decided by its flag.
  std::optional<double> SpamScore;
  // Spam whose score is at least HighScore gets HighScoreAction (the values
  // of Quarantine) instead of Quarantine's action; both must be set.
  std::optional<double> HighScore;
  std::optional<std::int16_t> HighScoreAction;
  // The connector's messages pass unscanned (only in a connector section).
  bool Bypass = false;
  // The run scans and decides, logs what it would have done, and leaves the
  // message as it arrived.
  bool TestMode = false;
  // "Connector NAME" when the run's connector has a section that set a key;
  // empty otherwise.
  std::string ConnectorSection;
};

}  // namespace saplugin
