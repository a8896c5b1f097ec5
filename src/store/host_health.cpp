#include "store/host_health.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

#include "config/spamd_hosts.h"
#include "store/quarantine_store.h"

namespace saplugin {

namespace {

// The host's records' name without its extension.
std::string HostFileStem(const std::string& folder, const SpamdHost& host) {
  // A name or an address as a file name: what no file name may hold becomes "_".
  std::string name;
  for (const char c : host.host) name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
  return folder + "spamd-" + name + "-" + std::to_string(host.port);
}

// A count of seconds or milliseconds as a record holds it: digits only, and
// few enough that no sum of two overflows.
std::optional<std::int64_t> RecordNumber(const std::map<std::string, std::string>& values, const char* key) {
  const auto value = values.find(key);
  if (value == values.end() || value->second.empty() || value->second.size() > 15 ||
      value->second.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoll(value->second);
}

// Writes the record in one step; false, with the passing file gone again, when it cannot.
bool ReplaceRecord(FileSystem& fs, const std::string& file, const std::vector<std::pair<std::string, std::string>>& values,
                   const std::string& passing_suffix) {
  try {
    ReplaceKeyValueFile(fs, file, values, passing_suffix);
    return true;
  } catch (const Error&) {
    // What the runs share is knowledge, never a new way for a run to fail:
    // the passing file goes again, and the run scans on.
    if (fs.FileExists(file + passing_suffix)) {
      try {
        fs.DeleteFile(file + passing_suffix);
      } catch (const Error&) {
      }
    }
    return false;
  }
}

}  // namespace

std::string HostRecordFile(const std::string& folder, const SpamdHost& host) { return HostFileStem(folder, host) + ".down"; }

std::string HostAnswerTimeFile(const std::string& folder, const SpamdHost& host) { return HostFileStem(folder, host) + ".time"; }

std::optional<HostFailure> ReadHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now) {
  const std::string file = HostRecordFile(folder, host);
  if (!fs.FileExists(file)) return std::nullopt;
  try {
    const auto values = ReadKeyValueFile(fs, file);
    const std::optional<std::int64_t> failed = RecordNumber(values, "failed");
    if (!failed || *failed > now + 60) return std::nullopt;
    return HostFailure{*failed, values.count("what") ? values.at("what") : ""};
  } catch (const Error&) {
    return std::nullopt;  // unreadable: no knowledge, as if missing
  }
}

bool RecordHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, const HostFailure& failure,
                       const std::string& passing_suffix) {
  return ReplaceRecord(fs, HostRecordFile(folder, host), {{"failed", std::to_string(failure.failed)}, {"what", failure.what.substr(0, 400)}},
                       passing_suffix);
}

void ForgetHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host) {
  const std::string file = HostRecordFile(folder, host);
  try {
    if (fs.FileExists(file)) fs.DeleteFile(file);
  } catch (const Error&) {
    // As above: a record that stays only makes the next runs ask the host later.
  }
}

std::optional<HostAnswerTime> ReadHostAnswerTime(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now) {
  const std::string file = HostAnswerTimeFile(folder, host);
  if (!fs.FileExists(file)) return std::nullopt;
  try {
    const auto values = ReadKeyValueFile(fs, file);
    const std::optional<std::int64_t> measured = RecordNumber(values, "measured"), milliseconds = RecordNumber(values, "milliseconds");
    if (!measured || !milliseconds || *measured > now + 60 || now - *measured > kAnswerTimeLife) return std::nullopt;
    return HostAnswerTime{*measured, *milliseconds};
  } catch (const Error&) {
    return std::nullopt;  // unreadable: no knowledge, as if missing
  }
}

std::int64_t AnswerTimePerMessage(std::int64_t milliseconds, std::int64_t message_bytes) {
  const std::int64_t read = std::clamp<std::int64_t>(message_bytes, 0, kAnswerTimeBytesRead);
  return std::max<std::int64_t>(0, milliseconds) * kAnswerTimeBytes / (kAnswerTimeBytes + read);
}

bool RecordHostAnswerTime(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now, std::int64_t milliseconds,
                          unsigned dice, const std::string& passing_suffix) {
  // Read again just before: the runs beside this one may have folded theirs in meanwhile.
  const std::optional<HostAnswerTime> before = ReadHostAnswerTime(fs, folder, host, now);
  if (before && now - before->measured < kAnswerTimeRenewal && dice % 4 != 0) return false;
  milliseconds = std::max<std::int64_t>(0, milliseconds);
  const std::int64_t figure = before ? (before->milliseconds + milliseconds + 1) / 2 : milliseconds;
  return ReplaceRecord(fs, HostAnswerTimeFile(folder, host), {{"measured", std::to_string(now)}, {"milliseconds", std::to_string(figure)}},
                       passing_suffix);
}

}  // namespace saplugin
