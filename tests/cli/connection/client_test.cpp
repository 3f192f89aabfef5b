// The JSON-RPC client over a socket pair whose far end plays the app.
#include "connection/client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

using namespace quillore;

namespace {

struct Pair {
  int near = -1, far = -1;
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    near = fds[0];
    far = fds[1];
  }
  ~Pair() {
    close(near);
    if (far >= 0) close(far);
  }
  // The app's side: lines waiting for the client before it asks.
  void answer(const std::string& lines) { ASSERT_TRUE(writeAll(far, lines)); }
  // What the client wrote, as lines.
  std::vector<json> sent() {
    shutdown(near, SHUT_WR);
    std::vector<json> messages;
    LineReader reader(far);
    while (auto line = reader.next()) messages.push_back(json::parse(*line));
    return messages;
  }
};

}  // namespace

TEST(ClientTest, RequestsCarryIncreasingIdsAndNotificationsNone) {
  Pair pair;
  pair.answer("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"tools\":[]}}\n");
  Client client(pair.near);
  EXPECT_EQ(client.request("initialize", json{{"a/b", 1}}), json::parse(R"({"jsonrpc":"2.0","id":1,"result":{}})"));
  client.notify("notifications/initialized");
  EXPECT_EQ(client.request("tools/list", json::object())["result"], json::parse(R"({"tools":[]})"));

  auto sent = pair.sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], json::parse(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"a/b":1}})"));
  EXPECT_EQ(sent[1], json::parse(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
  EXPECT_EQ(sent[2], json::parse(R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{}})"));
}

TEST(ClientTest, SkipsEverythingButTheReplyWithItsId) {
  Pair pair;
  pair.answer(
      "\n"
      "not json\n"
      "[1]\n"
      "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/message\",\"params\":{}}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":\"1\",\"result\":{\"wrong\":\"text id\"}}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":1.5,\"result\":{\"wrong\":\"fraction\"}}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":7,\"result\":{\"wrong\":\"other id\"}}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"error\":{\"code\":-32602,\"message\":\"bad\"}}\r\n"
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"wrong\":\"late duplicate\"}}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{}}");  // the last line has no LF: the app then closes
  Client client(pair.near);
  EXPECT_EQ(client.request("tools/call", json::object()),
            json::parse(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"bad"}})"));
  shutdown(pair.far, SHUT_WR);  // the app stops writing but still reads the request
  // The duplicate of id 1 is skipped as a late reply; the unterminated line still counts.
  EXPECT_EQ(client.request("tools/list", json::object()), json::parse(R"({"jsonrpc":"2.0","id":2,"result":{}})"));
}

TEST(ClientDeathTest, ClosedConnectionEndsTheRunWithExitCode3) {
  const std::string message =
      "\"error\": \"Quillore closed the connection: it quit, or Settings \u2192 AI agents was turned off.\"";
  // Closed before the reply: the request is written, the answer never comes.
  EXPECT_EXIT(
      {
        Pair pair;
        pair.answer("{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{}}\n");
        shutdown(pair.far, SHUT_WR);
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the error object, on the stream the test sees
        Client(pair.near).request("tools/list", json::object());
      },
      ::testing::ExitedWithCode(3), message);
  // Closed before the request: the write fails and nothing is read.
  EXPECT_EXIT(
      {
        signal(SIGPIPE, SIG_IGN);  // as the program does
        Pair pair;
        close(pair.far);
        pair.far = -1;
        dup2(STDERR_FILENO, STDOUT_FILENO);
        Client(pair.near).request("initialize", json::object());
      },
      ::testing::ExitedWithCode(3), message);
}
