#pragma once

// End-to-end support: a fresh sandbox for runs of the built saplugin (the
// executable in a folder with a blank and its configuration beside it, the
// host's data directory named in the registry, one connector's queue, the event
// log, TEMPPATH and a quarantine folder), run directly for the Linux build and
// under Wine for the Windows build; and the table of one-message cases.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <vector>

#include "files.h"
#include "messages.h"

namespace saplugin {

struct Build {
  std::string saplugin, safilter;  // the executable copied into each sandbox, the stand-in filter
  bool wine = false;               // the Windows build, run under Wine
  // Under Wine: the data directory that Wine's registry names for the suite
  // (each sandbox has a connector of its own in it), and COMSPEC.
  std::string wine_data, comspec;
};
inline Build LinuxBuild() { return Build{SAPLUGIN_EXE, SAFILTER_EXE, false, "", ""}; }

inline bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// The text with every mark ("{A}", "{port}", ...) replaced by its value.
inline std::string Expand(std::string text, const std::map<std::string, std::string>& marks) {
  for (const auto& [mark, value] : marks) {
    for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos; at += value.size()) text.replace(at, mark.size(), value);
  }
  return text;
}

// Each line of the text, its marks expanded, is a part of what was said, in
// order; a line that begins with "!" is nowhere in it.
inline void ExpectLines(const std::string& said, const std::string& lines, const std::map<std::string, std::string>& marks = {}) {
  std::istringstream expected(Expand(lines, marks));
  std::size_t at = 0;
  for (std::string line; std::getline(expected, line);) {
    const std::size_t found = said.find(line[0] == '!' ? line.substr(1) : line, line[0] == '!' ? 0 : at);
    EXPECT_EQ(found == std::string::npos, line[0] == '!') << "\"" << line << "\" after " << at << " in\n" << said;
    if (found != std::string::npos && line[0] != '!') at = found + line.size();
  }
}

// A path of this machine as Windows programs under Wine spell it.
inline std::string WinePath(const std::string& path) { return "Z:" + std::regex_replace(path, std::regex("/"), "\\"); }

// Starts a program with standard input closed (as a service host may start
// it) and standard error and output to the files; answers its process id.
inline int StartProcess(const std::vector<std::string>& words, const std::map<std::string, std::string>& environment,
                        const std::string& stderr_file, const std::string& folder = "", const std::string& stdout_file = "/dev/null") {
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
  close(0);
  if (folder.empty() || chdir(folder.c_str()) == 0) execvp(argv[0], argv.data());
  _exit(127);
}

// The process's exit status, or 128 + the signal that ended it.
inline int WaitProcess(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct RunResult {
  int status = -1;
  std::string standard_error, output;
};

struct Sandbox {
  explicit Sandbox(Build build_under_test = LinuxBuild())
      : build(std::move(build_under_test)), bin(folder / "program files"), data(build.wine ? build.wine_data : folder / "data"),
        // Wine's registry is the suite's: a connector of the sandbox's own (one
        // word, as the host's command line needs) keeps its queue apart.
        connector(build.wine ? "Conn" + std::to_string(std::random_device()()) : "Conn"),
        inbound(data + "/QUEUES/" + connector + "/Inbound"), messages(inbound + "/Messages"),
        quarantine(folder / "quarantine"), temp(folder / "temp") {
    for (const auto& made : {bin, messages, quarantine, temp, folder / "rules", folder / "my shell", folder / "scan log"}) {
      std::filesystem::create_directories(made);
    }
    const std::string exe = build.wine ? ".exe" : "";
    for (const char* program : {"saplugin", "sacheck", "saquarantine", "sareport"}) {
      std::filesystem::copy_file(std::filesystem::path(build.saplugin).replace_filename(program + exe), bin + "/" + program + exe);
    }
    // Wine's own errors stay on, for the diagnosis of a failed run.
    environment = {{"COMSPEC", build.comspec}, {"WINEDEBUG", "fixme-all,+eventlog"}};
    if (build.wine) return;
    WriteFile(folder / "registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarkwell\\"
                                       "Tarkwell]\r\n\"Data Directory\"=\"" + data + "\"\r\n");
    // The interpreter in a folder with a blank, as Windows has it.
    std::filesystem::create_symlink(SACMD_EXE, folder / "my shell/sacmd");
    environment = {{"SAPLUGIN_REGISTRY", folder / "registry.reg"}, {"SAPLUGIN_EVENTLOG", folder / "events.log"},
                   {"COMSPEC", folder / "my shell/sacmd"}, {"HOME", folder.path}, {"SAFILTER", SAFILTER_EXE}, {"BOX", folder.path}};
  }
  ~Sandbox() {
    std::error_code ignored;
    if (build.wine) std::filesystem::remove_all(data + "/QUEUES/" + connector, ignored);
    for (const auto& mounted : mounts) umount2(mounted.c_str(), MNT_DETACH);
  }

  // A path as the program under test spells it (Z:\... under Wine).
  std::string Native(const std::string& path) const { return build.wine ? WinePath(path) : path; }

  // Moves TEMPPATH to a new folder on another volume.
  void MoveTempElsewhere() {
    elsewhere = std::make_unique<TempFolder>("/dev/shm");
    temp = elsewhere->path;
  }

  // Puts a volume of the given size (a tmpfs; the tests run as root) at the
  // folder, which starts empty; its subfolders that the sandbox needs are made
  // again. The mount lives in a mount namespace of the test process's own, so
  // that it goes with the process however that ends, and nothing that removes
  // the test's folders later meets it.
  void MountSmallVolume(const std::string& folder, const std::string& size) {
    Mount("tmpfs", folder, "tmpfs", 0, "size=" + size);
    std::filesystem::create_directories(messages);
  }
  // Shows the source folder at the target as well (a second name that no link tells of), in the same namespace.
  void BindFolder(const std::string& source, const std::string& target) { Mount(source, target, nullptr, MS_BIND, ""); }
  void Mount(const std::string& source, const std::string& folder, const char* type, unsigned long flags, const std::string& data) {
    static const bool private_namespace =
        unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!private_namespace) throw std::runtime_error("cannot make a private mount namespace");
    if (mount(source.c_str(), folder.c_str(), type, flags, data.c_str()) != 0) throw std::runtime_error("cannot mount " + source + " on " + folder);
    mounts.push_back(folder);
  }

  // Writes a working configuration (QUARANTINE=1, the sandbox's folders, the
  // stand-in filter with an empty rules folder) changed by "KEY=value" words;
  // "KEY=-" leaves the key out; a value may start with {box}, {bin} or {inbound}.
  void Configure(const std::string& changes = "") {
    std::map<std::string, std::string> settings{{"QUARANTINE", "1"}, {"QUARANTINEPATH", Native(quarantine)}, {"SCANLOGPATH", Native(folder / "scan log")},
                                                {"SPAMASSASSINEXE", Native(build.safilter)},
                                                {"SPAMASSASSINRULESPATH", Native(folder / "rules")}, {"TEMPPATH", Native(temp)}};
    std::istringstream words(changes);
    for (std::string word; words >> word;) {
      const std::string value = word.substr(word.find('=') + 1);
      const std::string marked = Expand(value, {{"{box}", folder.path}, {"{bin}", bin}, {"{inbound}", inbound}});
      settings[word.substr(0, word.find('='))] = marked == value ? value : Native(marked);
    }
    std::string text = "; written by the tests\r\n\r\n[SPAMASSASSIN Plugin Config]\r\n";
    for (const auto& [key, value] : settings) text += value == "-" ? "" : key + "=" + value + "\r\n";
    WriteFile(bin + "/spamassassinconfig.ini", text);
  }

  // The pickup file and the message file of one queued message.
  void Queue(const std::string& name, const std::string& message) {
    WriteFile(inbound + "/" + name, "pickup of " + name + "\r\n");
    WriteFile(messages + "/" + name, message);
  }

  // Runs saplugin (or sacheck, copied beside it) in the sandbox's folder with
  // its environment ("-" unsets).
  RunResult Run(std::vector<std::string> arguments = {}, const std::string& program = "saplugin") {
    if (arguments.empty() && program == "saplugin") arguments = {"N.MAI", connector};
    std::vector<std::string> words{bin + "/" + program + (build.wine ? ".exe" : "")};
    if (build.wine) words.insert(words.begin(), "wine");
    words.insert(words.begin(), tracer.begin(), tracer.end());
    words.insert(words.end(), arguments.begin(), arguments.end());
    RunResult result;
    result.status = WaitProcess(StartProcess(words, environment, folder / "stderr.txt", folder.path, folder / "stdout.txt"));
    result.standard_error = ReadFile(folder / "stderr.txt");
    result.output = std::regex_replace(ReadFile(folder / "stdout.txt"), std::regex("\r"), "");
    // Wine traces each entry as: trace:eventlog:ReportEventW L"TEXT", with "\" escaping.
    std::istringstream lines(build.wine ? result.standard_error : "");
    static const std::regex entry("eventlog:ReportEventW L\"(.*)\""), escape("\\\\(.)");
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_search(line, match, entry)) wine_events.push_back(std::regex_replace(match[1].str(), escape, "$1"));
    }
    return result;
  }

  // The lines of the scan log's one file, without their line breaks; none without a file.
  std::vector<std::string> ScanLogLines() const {
    const auto files = FilesIn(folder / "scan log");
    std::istringstream text(files.empty() ? "" : ReadFile(folder / "scan log/" + *files.begin()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line.substr(0, line.size() - (line.back() == '\r')));
    return lines;
  }

  // The event-log entries of all runs so far.
  std::vector<std::string> Events() const {
    std::vector<std::string> events = wine_events;
    std::istringstream lines(build.wine ? "" : ReadFile(folder / "events.log"));
    for (std::string line; std::getline(lines, line) && line != "<missing>";) events.push_back(line.substr(line.find("]: ") + 3));
    return events;
  }

  Build build;
  TempFolder folder;
  std::string bin, data, connector, inbound, messages, quarantine, temp;
  std::map<std::string, std::string> environment;
  std::unique_ptr<TempFolder> elsewhere;
  std::vector<std::string> wine_events, mounts;
  std::vector<std::string> tracer;  // a program that runs the one under test, with its words
};

// Configures the box with the settings and a filter that gives each message the
// score its X-Score field names, flagged from 5, with the rules SPAM_RULE and
// COMMON for spam and COMMON for the rest.
inline void ConfigureScoreFilter(Sandbox& box, const std::string& settings) {
  WriteFile(box.folder / "filter.sh", "#!/bin/sh\nm=$(cat)\ns=$(printf '%s' \"$m\" | sed -n 's/^X-Score: *//p' | head -1)\n"
                                      "if [ \"${s%%.*}\" -ge 5 ]; then printf 'X-Spam-Flag: YES\\r\\nX-Spam-Status: Yes, score=%s required=5.0 "
                                      "tests=SPAM_RULE,COMMON\\r\\n' \"$s\"; else printf 'X-Spam-Status: No, score=%s required=5.0 "
                                      "tests=COMMON\\r\\n' \"$s\"; fi\nprintf '%s\\r\\n' \"$m\"\n");
  chmod((box.folder / "filter.sh").c_str(), 0755);
  box.Configure("SPAMASSASSINEXE={box}/filter.sh " + settings);
}

// The files of a quarantine entry: its pickup file, then in Messages its message, the filter's output and its record.
inline std::vector<std::string> EntryFiles(const Sandbox& box, const std::string& id) {
  return {box.quarantine + "/" + id + ".MAI", box.quarantine + "/Messages/" + id + ".MAI", box.quarantine + "/Messages/" + id + ".SA",
          box.quarantine + "/Messages/" + id + ".INF"};
}

// The id of the entry in the quarantine whose record names the message, or "".
inline std::string IdOf(const Sandbox& box, const std::string& name) {
  for (const std::string& file : FilesIn(box.quarantine + "/Messages")) {
    if (file.size() == 36 && file.substr(32) == ".INF" && Has(ReadFile(box.quarantine + "/Messages/" + file), ("message=" + name + "\r").c_str())) {
      return file.substr(0, 32);
    }
  }
  return "";
}

// The files in TEMPPATH but the records the runs keep of spamd hosts.
inline std::set<std::string> RunFilesIn(const std::string& temp) {
  std::set<std::string> files;
  for (const std::string& file : FilesIn(temp)) {
    if (!std::regex_match(file, std::regex("spamd-.*\\.(down|time)"))) files.insert(file);
  }
  return files;
}

// The stand-in filter's exact output for the message under its rules file.
inline std::string FilterOutput(const std::string& message, const std::string& directives = "") {
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

enum Builds { kLinux = 1, kWine = 2, kBoth = 3 };
enum class Outcome {
  kLeft,         // in the queue as received, pickup file too
  kTagged,       // in the queue, replaced by the filter's whole output
  kQuarantined,  // pickup, message and output in quarantine, none in the queue
  kDeleted,      // in the queue no more, and nowhere else
  kPickupGone,   // the pickup file deleted, the message left as received
};
// One case: its name and builds; the changes to the working configuration
// ("=TEXT": the whole file); the message; the stand-in filter's rules file
// (empty: a rules folder); the faults made before the run (words, or
// "sh:LINES", a filter script of shell lines where the stand-in filter is
// "$SAFILTER" and the sandbox "$BOX"); and what is expected: where the message
// is, the outcome that the scan log names (each run logs into the sandbox's
// log folder), the exit status, and the beginnings of the event-log entries, one per
// line, where {bin} is the program's folder and {box} the sandbox's (for sacheck: lines of its report,
// where {connector} is the sandbox's connector).
struct Scenario {
  std::string name;
  int builds;
  std::string settings, message, directives, setup;
  Outcome outcome;
  std::string log;  // the scan log line's outcome; "-" for no line
  int status;
  std::string events;
};
inline void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }
std::vector<Scenario> Scenarios(int build);  // the rows that the build runs
void RunScenario(const Build& build, const Scenario& scenario);

}  // namespace saplugin
