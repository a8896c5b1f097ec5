#include "store/host_health.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <vector>

#include "config/conversions.h"
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

// A record is two short lines; a file larger than this is none of ours, and
// is not read: every run reads the records, and a huge file would cost each
// run the time to read it.
constexpr std::size_t kRecordLimit = 4096;

// The record's keys and values, or nothing for a file that is missing or
// larger than kRecordLimit. At most one byte more is read, even of a file
// that grows meanwhile. Throws Error when it cannot be read.
std::optional<std::map<std::string, std::string>> ReadRecord(FileSystem& fs, const std::string& file) {
  if (!fs.FileExists(file) || fs.FileSize(file) > static_cast<std::int64_t>(kRecordLimit)) return std::nullopt;
  std::string text(kRecordLimit + 1, '\0');
  std::size_t got = 0;
  auto reader = fs.OpenTextFileForReading(file);
  for (std::size_t part; got < text.size() && (part = reader->Read(&text[got], text.size() - got)) > 0;) got += part;
  reader->Close();
  if (got > kRecordLimit) return std::nullopt;
  text.resize(got);
  std::map<std::string, std::string> values;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values.emplace(line.substr(0, equals), line.substr(equals + 1));
    start = end + 1;
  }
  return values;
}

// A count of seconds or milliseconds as a record holds it: digits only, and
// few enough that no sum of two overflows.
std::optional<std::int64_t> RecordNumber(const std::map<std::string, std::string>& values, const char* key) {
  const auto value = values.find(key);
  return value == values.end() ? std::nullopt : ReadDigits(value->second, 15);
}

// Writes the record in one step; false, with the passing file gone again, when it cannot.
bool ReplaceRecord(FileSystem& fs, const std::string& file, const std::vector<std::pair<std::string, std::string>>& values,
                   const std::string& passing_suffix) {
  try {
    ReplaceKeyValueFile(fs, file, values, passing_suffix);
    return true;
  } catch (const Error&) {
    // What the runs share is knowledge, never a new way for a run to fail: the run scans on.
    return false;
  }
}

}  // namespace

std::string HostRecordFile(const std::string& folder, const SpamdHost& host) { return HostFileStem(folder, host) + ".down"; }

std::string HostAnswerTimeFile(const std::string& folder, const SpamdHost& host) { return HostFileStem(folder, host) + ".time"; }

std::optional<HostFailure> ReadHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now) {
  try {
    const auto record = ReadRecord(fs, HostRecordFile(folder, host));
    if (!record) return std::nullopt;
    const auto& values = *record;
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

bool ClaimHostRetry(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now, std::int64_t retry_after,
                    const std::string& passing_suffix) {
  try {
    const auto lock = fs.TryLock(HostFileStem(folder, host) + ".retry");
    if (!lock) return false;
    // Read again under the lock: the run that held it before has renewed the record, or removed it.
    const std::optional<HostFailure> failure = ReadHostFailure(fs, folder, host, now);
    return failure && now - failure->failed >= retry_after && RecordHostFailure(fs, folder, host, {now, failure->what}, passing_suffix);
  } catch (const Error&) {
    return false;  // no lock's file: as for a record that cannot be written
  }
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
  try {
    const auto record = ReadRecord(fs, HostAnswerTimeFile(folder, host));
    if (!record) return std::nullopt;
    const auto& values = *record;
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
