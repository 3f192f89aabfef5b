// The JSON-RPC client over a socket pair whose far end plays the app.
#include "connection/client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <thread>

using namespace quillore;

namespace {

// The client's end, for the client to take, and the app's.
struct Pair {
  Descriptor near, far;
  int client = -1;  // the client's end, also once the client holds it
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    near = Descriptor(fds[0]);
    far = Descriptor(fds[1]);
    client = fds[0];
  }
  // The app's side: lines waiting for the client before it asks.
  void answer(const std::string& lines) { ASSERT_TRUE(writeAll(far.fd(), lines)); }
  // What the client wrote, as lines.
  std::vector<json> sent() {
    shutdown(client, SHUT_WR);
    std::vector<json> messages;
    LineReader reader(far.fd());
    while (auto line = reader.next()) messages.push_back(json::parse(*line));
    return messages;
  }
};

}  // namespace

TEST(ClientTest, RequestsCarryIncreasingIdsAndNotificationsNone) {
  Pair pair;
  pair.answer(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"tools\":[]}}\n");
  Client client(std::move(pair.near));
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
  Client client(std::move(pair.near));
  EXPECT_EQ(client.request("tools/call", json::object()),
            json::parse(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"bad"}})"));
  shutdown(pair.far.fd(), SHUT_WR);  // the app stops writing but still reads the request
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
        shutdown(pair.far.fd(), SHUT_WR);
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the error object, on the stream the test sees
        Client(std::move(pair.near)).request("tools/list", json::object());
      },
      ::testing::ExitedWithCode(3), message);
  // Closed before the request: the write fails and nothing is read.
  EXPECT_EXIT(
      {
        signal(SIGPIPE, SIG_IGN);  // as the program does
        Pair pair;
        pair.far.close();
        dup2(STDERR_FILENO, STDOUT_FILENO);
        Client(std::move(pair.near)).request("initialize", json::object());
      },
      ::testing::ExitedWithCode(3), message);
}

TEST(ParseReplyLine, ReadsLinesExactlyAsParseObjectDoes) {
  const std::string lines[] = {
      R"({"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"image","data":"iVBORw0KGgo=","mimeType":"image/png"}]}})",
      R"({"a":1,"b":-1,"c":1.0,"d":1e2,"e":18446744073709551615,"f":-9223372036854775808,"g":0.1,"h":-0})",
      R"({"big":123456789012345678901234567890,"huge":1e400})",  // beyond simdjson: the library decides
      R"({"t":"a\"b\\c\/d\n\u00e9\ud83d\ude00","u":"\u0000"})",
      R"({"dup":1,"dup":2})",
      R"(  {"spaced" : [ true , false , null ] }  )",
      "{\"cr\":1}\r",
      "\xEF\xBB\xBF{\"bom\":1}",
      R"({"nested":{"a":[{"b":[[]]}]}})",
      "{\"nul\":1}\0",
      std::string("{\"in\":\"a\0b\"}", 12),
      "{\"ctl\":\"a\x01\"}",
      "{\"utf\":\"\xff\"}",
      R"({"lone":"\udc00"})",
      R"({"a":1} {"b":2})",
      R"({"a":1,})",
      R"([1,2])",
      R"("text")",
      "",
      "{",
      R"({"a":tru})",
      R"({"a":01})",
      std::string(511, '[') + std::string(511, ']'),
      "{\"deep\":" + std::string(511, '[') + std::string(511, ']') + "}",
      "{\"deep\":" + std::string(512, '[') + std::string(512, ']') + "}",
      "{\"deeper\":" + std::string(2000, '[') + std::string(2000, ']') + "}",
      // Long texts, the first of which takes over the line's buffer.
      "{\"a\":\"" + std::string(1'500'000, 'A') + "\",\"b\":\"" + std::string(1'200'000, 'B') + "\"}",
      "{\"escaped\":\"" + std::string(600'000, 'x') + "\\/\\n" + std::string(600'000, 'y') + "\"}",
      "{\"deep\":[\"" + std::string(1'100'000, 'A') + "\"," + std::string(512, '[') + std::string(512, ']') + "]}",
  };
  for (const std::string& text : lines) {
    auto fast = parseReplyLine(text);
    auto reference = parseObject(text);
    ASSERT_EQ(fast.has_value(), reference.has_value()) << text.substr(0, 80);
    if (!fast) continue;
    EXPECT_EQ(*fast, *reference) << text.substr(0, 80);
    EXPECT_EQ(encode(*fast), encode(*reference)) << text.substr(0, 80);
  }
}

TEST(ClientTest, ALongReplyArrivesWhole) {
  Pair pair;
  std::string data(3'000'000, 'A');
  std::string reply = "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"data\":\"" + data + "\"}}\n";
  // Written from another thread: the reply is larger than the socket's buffer.
  std::thread app([&] { pair.answer(reply); });
  Client client(std::move(pair.near));
  json answer = client.request("tools/call", json::object());
  app.join();
  EXPECT_EQ(answer["result"]["data"].get_ref<const std::string&>(), data);
}
