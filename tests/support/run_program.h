// Runs one of the built programs as a user or an agent host would, and collects what
// it leaves behind: its exit status, its standard output and error, and the most
// memory it held. Standard input is the null device.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

// Fields left out keep these values, so a call names only what it sets:
// runProgram({.path = …, .arguments = {…}, .directory = …}).
struct Program {
  std::string path{};                    // the executable
  std::vector<std::string> arguments{};  // after the program's name
  std::string name{};                    // the program's name (argv[0]); `path` when empty
  std::string directory{};               // where it runs; the test's own directory when empty
  // "NAME=value" entries, set over the test's own environment, or making up the whole
  // environment with `ownEnvironmentOnly`.
  std::vector<std::string> environment{};
  bool ownEnvironmentOnly = false;
};

struct Outcome {
  int status = -1;  // the exit status; 128 + the signal's number when a signal ended it; -1: it did not start
  std::string out;
  std::string err;
  long peakKilobytes = 0;  // the largest resident size it reached
};

namespace detail {

inline std::vector<std::string> environmentFor(const Program& program) {
  std::vector<std::string> entries;
  auto named = [](const std::string& entry) { return entry.substr(0, entry.find('=') + 1); };
  if (!program.ownEnvironmentOnly) {
    for (char** entry = environ; entry && *entry; ++entry) {
      const std::string inherited(*entry);
      bool replaced = false;
      for (const std::string& own : program.environment) replaced = replaced || named(own) == named(inherited);
      if (!replaced) entries.push_back(inherited);
    }
  }
  entries.insert(entries.end(), program.environment.begin(), program.environment.end());
  return entries;
}

inline std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> list;
  for (std::string& text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

// Reads both pipes to their end at once, so that a program that fills one while the
// test waits on the other cannot stall.
inline void drain(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        sinks[i]->append(chunk, size_t(n));
        continue;
      }
      fds[i].fd = -1;  // poll skips it from now on
      --open;
    }
  }
}

}  // namespace detail

inline Outcome runProgram(const Program& program) {
  Outcome outcome;
  int out[2], err[2];
  if (::pipe(out) != 0) return outcome;
  if (::pipe(err) != 0) {
    ::close(out[0]), ::close(out[1]);
    return outcome;
  }
  // None of the four reaches the program as itself; dup2 below gives it its own copies.
  for (int fd : {out[0], out[1], err[0], err[1]}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (!program.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, program.directory.c_str());

  std::vector<std::string> argvTexts{program.name.empty() ? program.path : program.name};
  argvTexts.insert(argvTexts.end(), program.arguments.begin(), program.arguments.end());
  std::vector<std::string> envTexts = detail::environmentFor(program);
  std::vector<char*> argv = detail::pointers(argvTexts), envp = detail::pointers(envTexts);

  pid_t pid = 0;
  const int started = posix_spawn(&pid, program.path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (started == 0) detail::drain(out[0], err[0], outcome.out, outcome.err);
  ::close(out[0]);
  ::close(err[0]);
  if (started != 0) return outcome;

  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return outcome;
  }
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.status = 128 + WTERMSIG(status);
#if defined(__APPLE__)
  outcome.peakKilobytes = usage.ru_maxrss / 1024;  // reported in bytes there
#else
  outcome.peakKilobytes = usage.ru_maxrss;
#endif
  return outcome;
}

}  // namespace testsupport
