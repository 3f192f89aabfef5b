#include "connection/reach.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

using namespace quillore;
using namespace std::chrono_literals;

namespace {

// A temporary folder with fake process-check and launcher programs that note each
// run in a file, and a socket path that a test may start listening on.
class ReachTest : public ::testing::Test {
 protected:
  std::string dir;
  int listener = -1;

  void SetUp() override {
    char pattern[] = "/tmp/ql-reachXXXXXX";
    dir = mkdtemp(pattern);
  }
  void TearDown() override {
    if (listener >= 0) ::close(listener);
    std::system(("rm -rf '" + dir + "'").c_str());
  }

  std::string socketPath() const { return dir + "/agent.sock"; }

  std::string program(const std::string& name, int status) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << "#!/bin/sh\necho \"$@\" >> '" << dir << "/" << name
                        << ".runs'\necho noise\necho noise >&2\nexit " << status << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  std::string runs(const std::string& name) const {
    std::ifstream in(dir + "/" + name + ".runs");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  void listen() {
    listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = socketPath();
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
  }

  ReachSetup setup(int running, int launcher) {
    ReachSetup s;
    s.sockPath = socketPath();
    s.processCheck = {program("pgrep", running), {"-x", "Quillore"}};
    s.launcher = {program("launch", launcher), {"app.quillore.Quillore"}};
    s.runningWait = 300ms;
    s.launchedWait = 600ms;
    s.pollInterval = 50ms;
    return s;
  }
};

TEST_F(ReachTest, ListeningSocketConnectsWithoutRunningAnything) {
  listen();
  Reach reach = reachApp(Launch::allowed, setup(0, 0));
  ASSERT_EQ(reach.kind, Reach::Case::connected);
  EXPECT_GE(reach.socket.fd(), 0);
  EXPECT_EQ(reach.reason(), "");
  EXPECT_EQ(runs("pgrep"), "");
  EXPECT_EQ(runs("launch"), "");
}

TEST_F(ReachTest, NoLaunchAnswersNotRunningAtOnce) {
  auto s = setup(0, 0);
  s.noLaunch = true;
  EXPECT_EQ(reachApp(Launch::allowed, s).kind, Reach::Case::notRunning);
  EXPECT_EQ(runs("pgrep"), "") << "not even the process check is made";
}

TEST_F(ReachTest, RunningButRefusingIsAgentsOffAfterTheWait) {
  for (Launch launch : {Launch::allowed, Launch::forbidden}) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reachApp(launch, setup(0, 0)).kind, Reach::Case::agentsOff);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  }
  EXPECT_EQ(runs("pgrep"), "-x Quillore\n-x Quillore\n");
  EXPECT_EQ(runs("launch"), "") << "a running app is not launched again";
}

TEST_F(ReachTest, NotRunningWithoutLaunchIsNotRunning) {
  EXPECT_EQ(reachApp(Launch::forbidden, setup(1, 0)).kind, Reach::Case::notRunning);
  EXPECT_EQ(runs("launch"), "");
}

TEST_F(ReachTest, LauncherFailureIsNotInstalled) {
  EXPECT_EQ(reachApp(Launch::allowed, setup(1, 1)).kind, Reach::Case::notInstalled);
  EXPECT_EQ(runs("launch"), "app.quillore.Quillore\n");

  auto missing = setup(1, 0);
  missing.launcher.path = dir + "/no-such-launcher";
  EXPECT_EQ(reachApp(Launch::allowed, missing).kind, Reach::Case::notInstalled);
}

TEST_F(ReachTest, MissingProcessCheckCountsAsNotRunning) {
  auto s = setup(0, 1);
  s.processCheck.path = dir + "/no-such-pgrep";
  EXPECT_EQ(reachApp(Launch::forbidden, s).kind, Reach::Case::notRunning);
  EXPECT_EQ(reachApp(Launch::allowed, s).kind, Reach::Case::notInstalled);
}

TEST_F(ReachTest, LaunchedAppIsConnectedOnThePollAfterItListens) {
  std::thread app([this] {
    std::this_thread::sleep_for(200ms);
    listen();
  });
  Reach reach = reachApp(Launch::allowed, setup(1, 0));
  app.join();
  ASSERT_EQ(reach.kind, Reach::Case::connected);
  EXPECT_EQ(runs("launch"), "app.quillore.Quillore\n");
}

TEST_F(ReachTest, LaunchedAppThatNeverListensIsAgentsOffAfterTheLongerWait) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(reachApp(Launch::allowed, setup(1, 0)).kind, Reach::Case::agentsOff);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
}

TEST(Reach, ReasonsAreTheUsersSentences) {
  EXPECT_EQ(Reach{Reach::Case::notInstalled}.reason(),
            "Quillore is not installed. Ask the user to install it from https://quillore.app and turn on "
            "Settings \u2192 AI agents.");
  EXPECT_EQ(Reach{Reach::Case::notRunning}.reason(),
            "Quillore is not running. Ask the user to open Quillore and turn on Settings \u2192 AI agents, then try "
            "again.");
  EXPECT_EQ(Reach{Reach::Case::agentsOff}.reason(),
            "Quillore is open but not accepting AI agents. Ask the user to turn on Settings \u2192 AI agents in "
            "Quillore, then try again.");
}

TEST(Reach, StandardSetupUsesTheProductsWaitsAndPrograms) {
  ReachSetup s = standardReachSetup();
  EXPECT_EQ(s.runningWait, 2000ms);
  EXPECT_EQ(s.launchedWait, 15000ms);
  EXPECT_EQ(s.pollInterval, 250ms);
  EXPECT_EQ(s.processCheck.path, "/usr/bin/pgrep");
  EXPECT_EQ(s.processCheck.arguments, (std::vector<std::string>{"-x", "Quillore"}));
}

TEST(RunQuietly, ReturnsTheStatusOrMinusOne) {
  EXPECT_EQ(runQuietly("/bin/sh", {"-c", "exit 3"}), 3);
  EXPECT_EQ(runQuietly("/bin/sh", {"-c", "echo out; echo err >&2"}), 0);
  EXPECT_EQ(runQuietly("/no/such/program", {}), -1);
}

}  // namespace
