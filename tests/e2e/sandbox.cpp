#include "e2e/sandbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace saplugin {

Sandbox::Sandbox() {
  MakeFolders(Bin());
  MakeFolders(Messages());
  MakeFolders(Quarantine());
  MakeFolders(Temp());
  std::filesystem::copy_file(SAPLUGIN_EXE, Bin() + "/saplugin");
  WriteFile(Path("registry.reg"),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\Tarkwell]\r\n"
            "\"Data Directory\"=\"" + Data() + "\"\r\n");
  environment["SAPLUGIN_REGISTRY"] = Path("registry.reg");
  environment["SAPLUGIN_EVENTLOG"] = Path("events.log");
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

RunResult Sandbox::Run(const std::vector<std::string>& arguments) const {
  std::vector<std::string> words{Bin() + "/saplugin"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(&word[0]);
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

  const std::string stderr_file = Path("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start saplugin");
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  RunResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.standard_error = ReadFile(stderr_file);
  return result;
}

std::vector<std::string> Sandbox::Events() const {
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
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Data())) {
    if (entry.is_regular_file()) files[entry.path().string()] = ReadFile(entry.path().string());
  }
  return files;
}

}  // namespace saplugin
