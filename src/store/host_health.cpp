#include "store/host_health.h"

#include <cctype>

#include "config/spamd_hosts.h"
#include "store/quarantine_store.h"

namespace saplugin {

std::string HostRecordFile(const std::string& folder, const SpamdHost& host) {
  // A name or an address as a file name: what no file name may hold becomes "_".
  std::string name;
  for (const char c : host.host) name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
  return folder + "spamd-" + name + "-" + std::to_string(host.port) + ".down";
}

std::optional<HostFailure> ReadHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, std::int64_t now) {
  const std::string file = HostRecordFile(folder, host);
  if (!fs.FileExists(file)) return std::nullopt;
  try {
    const auto values = ReadKeyValueFile(fs, file);
    const auto failed = values.find("failed");
    if (failed == values.end() || failed->second.empty() || failed->second.size() > 18 ||
        failed->second.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    HostFailure failure{std::stoll(failed->second), values.count("what") ? values.at("what") : ""};
    if (failure.failed > now + 60) return std::nullopt;
    return failure;
  } catch (const Error&) {
    return std::nullopt;  // unreadable: no knowledge, as if missing
  }
}

bool RecordHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host, const HostFailure& failure,
                       const std::string& passing_suffix) {
  const std::string file = HostRecordFile(folder, host);
  try {
    ReplaceKeyValueFile(fs, file, {{"failed", std::to_string(failure.failed)}, {"what", failure.what.substr(0, 400)}}, passing_suffix);
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

void ForgetHostFailure(FileSystem& fs, const std::string& folder, const SpamdHost& host) {
  const std::string file = HostRecordFile(folder, host);
  try {
    if (fs.FileExists(file)) fs.DeleteFile(file);
  } catch (const Error&) {
    // As above: a record that stays only makes the next runs ask the host later.
  }
}

}  // namespace saplugin
