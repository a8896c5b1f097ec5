// sacmd: the command interpreter of the POSIX build, named by COMSPEC.
//
//   sacmd /c "BATCHFILE"     runs each line of the batch file as one command
//   sacmd /c PROGRAM ARGS    runs one command
//
// A line is a program and its words, with "<" and ">" redirecting standard
// input and output (the output file is created before the program starts, as
// the Windows interpreter does). "%" is read as Windows reads it: in a batch
// file "%%" stands for "%" and "%NAME%" for a variable's value; on sacmd's own
// command line only "%NAME%" of a set variable is replaced. There is no globbing,
// no pipe and no command separator, so no text in a path can ever run as a
// command. The exit
// status is the last command's: 128 + the signal's number for a command that a
// signal ended, 9009 (seen as 9009 & 255 = 49 on POSIX) when a program cannot
// be started, 1 when a line cannot be parsed or a file cannot be opened.

#include <fcntl.h>
#include <spawn.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "batch_line.h"
#include "helpers/batch_text.h"

extern char** environ;

namespace {

constexpr int kCannotStart = 9009;

std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool IsExecutable(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program's file: a name with a separator as it stands, else from PATH.
std::string FindExecutable(const std::string& program) {
  const std::string native = Native(program);
  if (native.find('/') != std::string::npos) return IsExecutable(native) ? native : std::string();
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    const auto colon = folders.find(':', start);
    std::string folder = folders.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (folder.empty()) folder = ".";
    const std::string candidate = folder + "/" + native;
    if (IsExecutable(candidate)) return candidate;
    if (colon == std::string::npos) return std::string();
    start = colon + 1;
  }
}

bool IsBatchFile(const std::string& program) {
  const auto dot = program.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string extension = program.substr(dot);
  return ::strcasecmp(extension.c_str(), ".bat") == 0 || ::strcasecmp(extension.c_str(), ".cmd") == 0;
}

int RunBatchFile(const std::string& path);

// Runs one parsed command and returns its exit status.
int RunCommand(const sacmd::Command& command) {
  // Redirection files are opened before the program is looked for, so that
  // the output file exists even when the program cannot be started.
  int input = -1;
  int output = -1;
  if (command.has_input) {
    input = ::open(Native(command.input).c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      std::cerr << "sacmd: cannot open " << command.input << " for input: " << std::strerror(errno) << '\n';
      return 1;
    }
  }
  if (command.has_output) {
    output = ::open(Native(command.output).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (output < 0) {
      std::cerr << "sacmd: cannot open " << command.output << " for output: " << std::strerror(errno) << '\n';
      if (input >= 0) ::close(input);
      return 1;
    }
  }

  int status = 0;
  const std::string& program = command.words[0];
  if (IsBatchFile(program) && !command.has_input && !command.has_output) {
    status = RunBatchFile(program);
  } else {
    const std::string executable = FindExecutable(program);
    pid_t pid = 0;
    int error = ENOENT;
    if (!executable.empty()) {
      std::vector<std::string> words = command.words;
      words[0] = Native(words[0]);
      std::vector<char*> argv;
      for (auto& word : words) argv.push_back(&word[0]);
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, 0);
      if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, 1);
      error = ::posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
    }
    if (error != 0) {
      std::cerr << "'" << program
                << "' is not recognized as an internal or external command, operable program or batch file.\n";
      status = kCannotStart;
    } else {
      int wait_status = 0;
      while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
      }
      status = WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
    }
  }
  if (input >= 0) ::close(input);
  if (output >= 0) ::close(output);
  return status;
}

// An environment variable's value, its name matched without regard to
// letter case as Windows matches it; empty when it is not set.
std::string EnvironmentValue(const std::string& name) {
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr && static_cast<std::size_t>(equals - *entry) == name.size() &&
        ::strncasecmp(*entry, name.c_str(), name.size()) == 0) {
      return equals + 1;
    }
  }
  return std::string();
}

int RunLine(const std::string& line) {
  sacmd::Command command;
  std::string reason;
  if (!sacmd::ParseBatchLine(line, &command, &reason)) {
    std::cerr << "sacmd: cannot run the line " << line << ": " << reason << '\n';
    return 1;
  }
  if (command.words.empty()) return -1;  // an empty line: no command
  return RunCommand(command);
}

int RunBatchFile(const std::string& path) {
  std::ifstream file(Native(path), std::ios::binary);
  if (!file) {
    std::cerr << "sacmd: cannot open the batch file " << path << ": " << std::strerror(errno) << '\n';
    return 1;
  }
  int status = 0;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const int result = RunLine(saplugin::ExpandBatchText(line, EnvironmentValue));
    if (result >= 0) status = result;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || ::strcasecmp(argv[1], "/c") != 0) {
    std::cerr << "usage: sacmd /c \"BATCHFILE\" | sacmd /c PROGRAM [ARGUMENTS...]\n";
    return 1;
  }
  // The words after /c, quoted where they hold blanks, form one command line.
  std::string line;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (i > 2) line += ' ';
    line += word.find_first_of(" \t<>") != std::string::npos ? "\"" + word + "\"" : word;
  }
  const int status = RunLine(saplugin::ExpandCommandText(line, EnvironmentValue));
  return (status < 0 ? 0 : status) & 0xFF;
}
