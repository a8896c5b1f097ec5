#include "e2e/sandbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace saplugin {

namespace {

// The texts of Wine's event-log trace lines: trace:eventlog:ReportEventW L"...".
std::vector<std::string> WineEvents(const std::string& standard_error) {
  std::vector<std::string> events;
  std::istringstream lines(standard_error);
  std::string line;
  const std::string marker = "eventlog:ReportEventW L\"";
  while (std::getline(lines, line)) {
    const auto start = line.find(marker);
    const auto end = line.rfind('"');
    if (start == std::string::npos || end == std::string::npos || end < start + marker.size()) continue;
    std::string text;
    for (std::size_t i = start + marker.size(); i < end; ++i) {
      if (line[i] == '\\' && i + 1 < end) {
        const char c = line[++i];
        text.push_back(c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c);
      } else {
        text.push_back(line[i]);
      }
    }
    events.push_back(text);
  }
  return events;
}

}  // namespace

Build LinuxBuild() { return Build{SAPLUGIN_EXE, SAFILTER_EXE, false, ""}; }

int StartProcess(const std::vector<std::string>& words, const std::map<std::string, std::string>& environment,
                 const std::string& stderr_file, const std::string& folder) {
  std::vector<std::string> argv_text = words;
  std::vector<char*> argv;
  for (auto& word : argv_text) argv.push_back(&word[0]);
  argv.push_back(nullptr);

  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& pair : environment) merged[pair.first] = pair.second;
  std::vector<std::string> env_text;
  for (const auto& pair : merged) env_text.push_back(pair.first + "=" + pair.second);
  std::vector<char*> envp;
  for (auto& text : env_text) envp.push_back(&text[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + words[0]);
  return pid;
}

int RunProcess(const std::vector<std::string>& words, const std::map<std::string, std::string>& environment,
               const std::string& stderr_file, const std::string& folder) {
  const pid_t pid = StartProcess(words, environment, stderr_file, folder);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Sandbox::Sandbox(Build build) : build_(std::move(build)) {
  MakeFolders(Bin());
  MakeFolders(Quarantine());
  MakeFolders(Temp());
  const std::string exe = build_.wine ? "saplugin.exe" : "saplugin";
  std::filesystem::copy_file(build_.saplugin, Bin() + "/" + exe);
  if (build_.wine) {
    // One data directory for the suite (the registry is Wine's, shared by all
    // tests); a connector of this sandbox's own keeps its queue apart.
    data_ = build_.wine_data;
    connector_ = std::filesystem::path(folder_.Path()).filename().string();
  } else {
    data_ = Path("data");
    connector_ = "Conn";
    WriteFile(Path("registry.reg"),
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\r\n"
              "\"Data Directory\"=\"" + data_ + "\"\r\n");
    environment["SAPLUGIN_REGISTRY"] = Path("registry.reg");
    environment["SAPLUGIN_EVENTLOG"] = Path("events.log");
  }
  MakeFolders(Messages());
}

Sandbox::~Sandbox() {
  if (build_.wine) {
    std::error_code ignored;
    std::filesystem::remove_all(data_ + "/QUEUES/" + connector_, ignored);
  }
}

std::string Sandbox::Native(const std::string& path) const {
  if (!build_.wine) return path;
  std::string native = "Z:" + path;
  std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}

void Sandbox::WriteConfig(const std::map<std::string, std::string>& settings) {
  std::string text = "[SPAMASSASSIN Plugin Config]\r\n";
  for (const auto& setting : settings) text += setting.first + "=" + setting.second + "\r\n";
  WriteFile(ConfigFile(), text);
}

void Sandbox::Queue(const std::string& name, const std::string& message) {
  WriteFile(Inbound() + "/" + name, "pickup of " + name + "\r\n");
  WriteFile(Messages() + "/" + name, message);
}

RunResult Sandbox::Run(const std::vector<std::string>& arguments, const std::string& executable) {
  std::vector<std::string> words;
  std::map<std::string, std::string> env = environment;
  if (build_.wine) {
    words = {"wine", executable.empty() ? Bin() + "/saplugin.exe" : executable};
    // Wine's own errors stay on, for the diagnosis of a failed run.
    env["WINEDEBUG"] = "fixme-all,+eventlog";
  } else {
    words = {executable.empty() ? Bin() + "/saplugin" : executable};
  }
  words.insert(words.end(), arguments.begin(), arguments.end());
  RunResult result;
  result.exit_status = RunProcess(words, env, Path("stderr.txt"), folder_.Path());
  result.standard_error = ReadFile(Path("stderr.txt"));
  if (build_.wine) {
    for (auto& event : WineEvents(result.standard_error)) wine_events_.push_back(event);
  }
  return result;
}

std::vector<std::string> Sandbox::Events() const {
  if (build_.wine) return wine_events_;
  std::vector<std::string> events;
  if (!Exists(Path("events.log"))) return events;
  std::istringstream lines(ReadFile(Path("events.log")));
  std::string line;
  while (std::getline(lines, line)) {
    const auto start = line.find("]: ");
    events.push_back(start == std::string::npos ? line : line.substr(start + 3));
  }
  return events;
}

std::map<std::string, std::string> Sandbox::QueueSnapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data_ + "/QUEUES/" + connector_)) {
    if (entry.is_regular_file()) files[entry.path().string()] = ReadFile(entry.path().string());
  }
  return files;
}

}  // namespace saplugin
