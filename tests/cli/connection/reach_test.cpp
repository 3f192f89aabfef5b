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

constexpr int missing = -1;  // as a program's exit status: there is no such program

// What the app's surroundings look like to one attempt, and what the attempt must
// answer and run.
struct ReachCase {
  const char* name;
  enum class Socket { absent, listening, listeningAfter200ms } socket;
  bool noLaunch;
  int processCheck;  // the process check's exit status: 0 the app runs, 1 it does not
  int launcher;      // the launcher's exit status: 0 the app is being started
  Launch launch;
  Reach::Case expected;
  const char* checks;              // the process check's runs, one line of arguments each
  const char* launches;            // the launcher's runs
  std::chrono::milliseconds wait;  // the least time the answer takes
};

void PrintTo(const ReachCase& c, std::ostream* os) { *os << c.name; }

using Socket = ReachCase::Socket;
using enum Reach::Case;
constexpr auto allowed = Launch::allowed;
constexpr auto forbidden = Launch::forbidden;
const char* const checked = "-x Quillore\n";
const char* const launched = "app.quillore.Quillore\n";

// Each row: its name; the socket; QL_NO_LAUNCH; the exit statuses of the process check
// and of the launcher; whether the attempt may launch; the answer; what the check and
// the launcher noted; the least time taken. The waits are shortened (setup() below):
// 300 ms for an app that runs, 600 ms for one just started.
const ReachCase reachCases[] = {
    {"ListeningSocketRunsNothing", Socket::listening, false, 0, 0, allowed, connected, "", "", 0ms},
    {"NoLaunchIsNotRunningAtOnceWithoutEvenTheCheck", Socket::absent, true, 0, 0, allowed, notRunning, "", "", 0ms},
    {"RunningButRefusingIsAgentsOffAfterTheWait", Socket::absent, false, 0, 0, allowed, agentsOff, checked, "", 300ms},
    {"RunningButRefusingWithoutLaunchToo", Socket::absent, false, 0, 0, forbidden, agentsOff, checked, "", 300ms},
    {"NotRunningWithoutLaunchIsNotRunning", Socket::absent, false, 1, 0, forbidden, notRunning, checked, "", 0ms},
    {"LauncherFailureIsNotInstalled", Socket::absent, false, 1, 1, allowed, notInstalled, checked, launched, 0ms},
    {"MissingLauncherIsNotInstalled", Socket::absent, false, 1, missing, allowed, notInstalled, checked, "", 0ms},
    {"MissingProcessCheckCountsAsNotRunning", Socket::absent, false, missing, 1, forbidden, notRunning, "", "", 0ms},
    {"MissingProcessCheckThenLaunch", Socket::absent, false, missing, 1, allowed, notInstalled, "", launched, 0ms},
    {"LaunchedAppConnectsOnThePollAfterItListens", Socket::listeningAfter200ms, false, 1, 0, allowed, connected,
     checked, launched, 0ms},
    {"LaunchedAppNeverListeningIsAgentsOffAfterTheLongerWait", Socket::absent, false, 1, 0, allowed, agentsOff, checked,
     launched, 600ms},
};

// A temporary folder with fake process-check and launcher programs that note each
// run in a file, and a socket path that the case may listen on.
class ReachTest : public ::testing::TestWithParam<ReachCase> {
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
    if (status == missing) return path;
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

  ReachSetup setup(const ReachCase& c) {
    ReachSetup s;
    s.sockPath = socketPath();
    s.noLaunch = c.noLaunch;
    s.processCheck = {program("pgrep", c.processCheck), {"-x", "Quillore"}};
    s.launcher = {program("launch", c.launcher), {"app.quillore.Quillore"}};
    s.runningWait = 300ms;
    s.launchedWait = 600ms;
    s.pollInterval = 50ms;
    return s;
  }
};

TEST_P(ReachTest, Outcome) {
  const ReachCase& c = GetParam();
  if (c.socket == Socket::listening) listen();
  std::thread app;
  if (c.socket == Socket::listeningAfter200ms) {
    app = std::thread([this] {
      std::this_thread::sleep_for(200ms);
      listen();
    });
  }
  const ReachSetup s = setup(c);
  auto start = std::chrono::steady_clock::now();
  Reach reach = reachApp(c.launch, s);
  auto took = std::chrono::steady_clock::now() - start;
  if (app.joinable()) app.join();

  EXPECT_EQ(reach.kind, c.expected);
  EXPECT_EQ(bool(reach.socket), c.expected == connected) << "a socket comes with `connected` only";
  if (c.expected == connected) {
    EXPECT_EQ(reach.reason(), "");
  }
  EXPECT_GE(took, c.wait);
  EXPECT_EQ(runs("pgrep"), c.checks);
  EXPECT_EQ(runs("launch"), c.launches);
}

INSTANTIATE_TEST_SUITE_P(Table, ReachTest, ::testing::ValuesIn(reachCases),
                         [](const auto& info) { return std::string(info.param.name); });

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
