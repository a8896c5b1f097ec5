#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>

#include "e2e/e2e.h"

extern char** environ;

namespace saplugin {

namespace fs = std::filesystem;

Build LinuxBuild() { return Build{SAPLUGIN_EXE, SAFILTER_EXE, false, "", ""}; }

std::string FilterOutput(const std::string& message, const std::string& directives) {
  const auto lf = message.find('\n');
  const std::string eol = lf != std::string::npos && lf > 0 && message[lf - 1] == '\r' ? "\r\n" : "\n";
  if (directives.find("no-header") == 0) return message.substr(message.find(eol + eol) + 2 * eol.size());
  if (directives.find("no-scan") == 0) return "X-Spam-Status: No, score=0.0 required=5.0 tests=none\r\n" + message;
  const bool flagged = message.find("GTUBE-STANDARD") != std::string::npos || directives.find("flag\n") == 0;
  const std::string out = "X-Spam-Checker-Version: SpamAssassin stand-in safilter 1.0" + eol +
                          (flagged ? "X-Spam-Flag: YES" + eol : "") + "X-Spam-Status: " +
                          (flagged ? "Yes, score=1000.0 required=5.0 tests=GTUBE" : "No, score=0.0 required=5.0 tests=none") +
                          " autolearn=no version=safilter-1.0" + eol + message;
  return directives.find("cut ") == 0 ? out.substr(0, std::stoul(directives.substr(4))) : out;
}

int StartProcess(const std::vector<std::string>& words, const std::map<std::string, std::string>& environment,
                 const std::string& stderr_file, const std::string& folder, const std::string& stdout_file) {
  std::vector<char*> argv;
  for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // An entry without "=" may stand in any environment; it must hide nothing.
  for (const auto& [name, value] : environment) value == "-" ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> entries{const_cast<char*>("SAPLUGIN_TEST_ENTRY_WITHOUT_EQUALS")};
  for (char** entry = environ; *entry != nullptr; ++entry) entries.push_back(*entry);
  entries.push_back(nullptr);
  environ = entries.data();
  dup2(open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  close(0);  // no standard input, as a service host may start it
  if (folder.empty() || chdir(folder.c_str()) == 0) execvp(argv[0], argv.data());
  _exit(127);
}

int WaitProcess(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Sandbox::Sandbox(Build build_under_test)
    : build(std::move(build_under_test)), bin(folder / "program files"), data(build.wine ? build.wine_data : folder / "data"),
      // Wine's registry is the suite's: a connector of the sandbox's own (one
      // word, as the host's command line needs) keeps its queue apart.
      connector(build.wine ? "Conn" + std::to_string(std::random_device()()) : "Conn"),
      inbound(data + "/QUEUES/" + connector + "/Inbound"), messages(inbound + "/Messages"),
      quarantine(folder / "quarantine"), temp(folder / "temp") {
  for (const auto& made : {bin, messages, quarantine, temp, folder / "rules"}) std::filesystem::create_directories(made);
  const std::string exe = build.wine ? ".exe" : "";
  for (const char* program : {"saplugin", "sacheck"}) {
    fs::copy_file(fs::path(build.saplugin).replace_filename(program + exe), bin + "/" + program + exe);
  }
  environment["COMSPEC"] = build.comspec;
  if (build.wine) return;
  WriteFile(folder / "registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\"
                                     "Tarkwell]\r\n\"Data Directory\"=\"" + data + "\"\r\n");
  // The interpreter in a folder with a blank, as Windows has it.
  std::filesystem::create_directories(folder / "my shell");
  fs::create_symlink(SACMD_EXE, folder / "my shell/sacmd");
  environment = {{"SAPLUGIN_REGISTRY", folder / "registry.reg"}, {"SAPLUGIN_EVENTLOG", folder / "events.log"},
                 {"COMSPEC", folder / "my shell/sacmd"}, {"HOME", folder.path}, {"SAFILTER", SAFILTER_EXE},
                 {"BOX", folder.path}};
}

Sandbox::~Sandbox() {
  std::error_code ignored;
  if (build.wine) fs::remove_all(data + "/QUEUES/" + connector, ignored);
}

std::string Sandbox::Native(const std::string& path) const {
  std::string native = build.wine ? "Z:" + path : path;
  if (build.wine) std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}

void Sandbox::MoveTempTo(const std::string& base) {
  elsewhere = std::make_unique<TempFolder>(base);
  temp = elsewhere->path;
}

void Sandbox::Configure(const std::string& changes) {
  std::map<std::string, std::string> settings{{"QUARANTINE", "1"}, {"QUARANTINEPATH", Native(quarantine)},
                                              {"SPAMASSASSINEXE", Native(build.safilter)},
                                              {"SPAMASSASSINRULESPATH", Native(folder / "rules")}, {"TEMPPATH", Native(temp)}};
  std::istringstream words(changes);
  for (std::string word; words >> word;) {
    std::string value = word.substr(word.find('=') + 1);
    if (value.find("{box}") == 0 || value.find("{bin}") == 0) value = Native(value.replace(0, 5, value[2] == 'o' ? folder.path : bin));
    settings[word.substr(0, word.find('='))] = value;
  }
  std::string text = "; written by the tests\r\n\r\n[SPAMASSASSIN Plugin Config]\r\n";
  for (const auto& [key, value] : settings) text += value == "-" ? "" : key + "=" + value + "\r\n";
  WriteFile(bin + "/spamassassinconfig.ini", text);
}

void Sandbox::Queue(const std::string& name, const std::string& message) {
  WriteFile(inbound + "/" + name, "pickup of " + name + "\r\n");
  WriteFile(messages + "/" + name, message);
}

RunResult Sandbox::Run(std::vector<std::string> arguments, const std::string& program) {
  if (arguments.empty() && program == "saplugin") arguments = {"N.MAI", connector};
  std::vector<std::string> words{bin + "/" + program};
  std::map<std::string, std::string> env = environment;
  if (build.wine) words = {"wine", bin + "/" + program + ".exe"};
  // Wine's own errors stay on, for the diagnosis of a failed run.
  if (build.wine) env["WINEDEBUG"] = "fixme-all,+eventlog";
  words.insert(words.end(), arguments.begin(), arguments.end());
  RunResult result;
  const auto start = std::chrono::steady_clock::now();
  result.status = WaitProcess(StartProcess(words, env, folder / "stderr.txt", folder.path, folder / "stdout.txt"));
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.standard_error = ReadFile(folder / "stderr.txt");
  result.output = ReadFile(folder / "stdout.txt");
  result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
  // Wine traces each entry as: trace:eventlog:ReportEventW L"TEXT", with "\" escaping.
  std::istringstream lines(build.wine ? result.standard_error : "");
  static const std::regex entry("eventlog:ReportEventW L\"(.*)\""), escape("\\\\(.)");
  std::smatch match;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, match, entry)) wine_events.push_back(std::regex_replace(match[1].str(), escape, "$1"));
  }
  return result;
}

std::vector<std::string> Sandbox::Events() const {
  if (build.wine) return wine_events;
  std::vector<std::string> events;
  std::istringstream lines(Exists(folder / "events.log") ? ReadFile(folder / "events.log") : "");
  for (std::string line; std::getline(lines, line);) events.push_back(line.substr(line.find("]: ") + 3));
  return events;
}

}  // namespace saplugin
