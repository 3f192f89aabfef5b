#include "entry/settings.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

using namespace quillore;

namespace {

// Settings are computed once per process, so each case runs in a child of its own
// with the environment it needs; the child's exit status is the verdict.
bool inChild(const std::function<bool()>& check) {
  pid_t pid = fork();
  if (pid == 0) _exit(check() ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct EnvCase {
  const char* value;  // nullptr: unset
  bool noLaunch;
};

TEST(Settings, OnlyTheExactValueOneSwitchesLaunchingOff) {
  for (EnvCase c : {EnvCase{"1", true}, EnvCase{"0", false}, EnvCase{"true", false}, EnvCase{"yes", false},
                    EnvCase{"1 ", false}, EnvCase{"", false}, EnvCase{nullptr, false}}) {
    EXPECT_TRUE(inChild([&] {
      if (c.value) setenv("QL_NO_LAUNCH", c.value, 1);
      else unsetenv("QL_NO_LAUNCH");
      return noLaunch() == c.noLaunch;
    })) << (c.value ? c.value : "(unset)");
  }
}

TEST(Settings, SocketPathComesFromTheEnvironmentEvenWhenEmpty) {
  EXPECT_TRUE(inChild([] {
    setenv("QL_AGENT_SOCK", "", 1);
    return sockPath().empty();
  }));
  EXPECT_TRUE(inChild([] {
    setenv("QL_AGENT_SOCK", "/tmp/x.sock", 1);
    return sockPath() == "/tmp/x.sock";
  }));
  EXPECT_TRUE(inChild([] {
    unsetenv("QL_AGENT_SOCK");
    setenv("HOME", "/nowhere", 1);  // the home directory is not taken from $HOME
    return sockPath() == homeDirectory() + "/Library/Application Support/Quillore/agent.sock" &&
           homeDirectory() != "/nowhere";
  }));
}

TEST(Settings, EnvironmentIsReadOnceOnFirstUse) {
  EXPECT_TRUE(inChild([] {
    setenv("QL_NO_LAUNCH", "1", 1);
    bool first = noLaunch();
    setenv("QL_NO_LAUNCH", "0", 1);
    return first && noLaunch() && environment().at("QL_NO_LAUNCH") == "1";
  }));
}

TEST(Settings, InvokedAsIsTheLastPathComponent) {
  struct Case {
    std::vector<const char*> argv;
    const char* name;
  };
  for (const Case& c : {Case{{"/usr/local/bin/quillore-mcp", "x"}, "quillore-mcp"},
                        Case{{"quillore-cli"}, "quillore-cli"}, Case{{"./bin/ql/"}, "ql"}, Case{{}, "quillore-cli"}}) {
    EXPECT_TRUE(inChild([&] {
      setCommandLine(int(c.argv.size()), c.argv.data());
      return invokedAs() == c.name;
    })) << c.name;
  }
}

TEST(Settings, ArgsLeaveOutTheProgramName) {
  EXPECT_TRUE(inChild([] {
    const char* argv[] = {"quillore-cli", "help", "render_preview"};
    setCommandLine(3, argv);
    return args() == std::vector<std::string>{"help", "render_preview"};
  }));
}

TEST(Settings, UsageCarriesTheProgramNameOnEveryCommandLine) {
  EXPECT_TRUE(inChild([] {
    const char* argv[] = {"/opt/ql"};
    setCommandLine(1, argv);
    const std::string& text = usage();
    return text.rfind("ql: drive Quillore", 0) == 0 && text.find("\n  ql tools  ") != std::string::npos &&
           text.find("\n  ql --version\n") != std::string::npos && text.back() == '\n';
  }));
}

}  // namespace
