#include "relay/relay.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "harness.h"

namespace quillore {
namespace {

using namespace quillore::testing;

json request(const json& id, const std::string& method) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", json::object()}};
}

const json initializeRequest = {{"jsonrpc", "2.0"},
                                {"id", 0},
                                {"method", "initialize"},
                                {"params",
                                 {{"protocolVersion", "2025-11-25"},
                                  {"capabilities", json::object()},
                                  {"clientInfo", {{"name", "agent"}, {"version", "1"}}}}}};

const json initializedNotification = {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}};

std::string notRunning() { return Reach{Reach::Case::notRunning}.reason(); }

void expectError(const std::optional<json>& reply, const json& id, const std::string& message) {
  ASSERT_TRUE(reply) << "no reply";
  EXPECT_EQ((*reply)["jsonrpc"], "2.0");
  // Same value and same JSON type as the request's id.
  EXPECT_EQ(idKey((*reply)["id"]), idKey(id));
  EXPECT_EQ((*reply)["error"]["code"], -32000);
  EXPECT_EQ((*reply)["error"]["message"], message);
  EXPECT_EQ(reply->size(), 3u);
}

void expectResult(const std::optional<json>& reply, const json& id) {
  ASSERT_TRUE(reply) << "no reply";
  EXPECT_EQ(idKey((*reply)["id"]), idKey(id)) << reply->dump();
  EXPECT_TRUE(reply->contains("result")) << reply->dump();
}

class RelayTest : public ::testing::Test {
 protected:
  std::string path = temporarySocketPath();
  FakeApp app{path};
  RelayUnderTest relay{path};
  Agent& agent = relay.agent;

  // The agent's usual start: initialize, its reply, initialized.
  void handshake() {
    agent.send(initializeRequest);
    expectResult(agent.nextMessage(), 0);
    agent.send(initializedNotification);
  }

  // The app quits while a request is in flight: its disconnect error shows that the
  // relay has noticed.
  void appQuits() {
    json id = "quit-" + std::to_string(++quits);
    size_t connection = app.connectionCount() - 1;
    size_t before = app.log(connection).size();
    agent.send(request(id, "hold"));
    ASSERT_TRUE(app.waitForLines(connection, before + 1));
    app.stop();
    expectError(agent.nextMessage(), id, std::string(disconnectMessage));
  }
  int quits = 0;

  // Nothing more reaches the agent for a while.
  void expectSilence() { EXPECT_EQ(agent.next(200ms), std::nullopt); }
};

TEST_F(RelayTest, PassesLinesBothWaysUnchanged) {
  app.start();
  relay.start();
  handshake();
  // Whatever the agent sends while connected goes to the app as it is.
  const std::string agentLines[] = {
      R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":9}})",
      R"({ "jsonrpc" : "2.0", "id" : "r1", "result" : {} })",
      "not json at all",
      R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{"path":"a/b"}})",
  };
  for (const auto& line : agentLines) agent.send(line);
  expectResult(agent.nextMessage(), 1);
  ASSERT_TRUE(app.waitForLines(0, 6));
  auto log = app.log(0);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.end()),
            std::vector<std::string>(std::begin(agentLines), std::end(agentLines)));

  // And whatever the app sends reaches the agent as it is: its own requests and
  // notifications, lines that are not JSON, empty lines, replies nobody waits for.
  const std::string appLines[] = {
      R"({"jsonrpc":"2.0","id":"app-1","method":"sampling/createMessage","params":{}})",
      R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})",
      "garbage \xff",
      "",
      R"({"jsonrpc":"2.0","id":777,"result":{}})",
  };
  for (const auto& line : appLines) app.send(line);
  for (const auto& line : appLines) EXPECT_EQ(agent.next(), line);
}

TEST_F(RelayTest, AnswersEveryRequestInFlightWhenTheAppQuits) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(7, "hold"));
  agent.send(request("7", "hold"));
  agent.send(request(7, "hold"));                                // the same id again shares one entry
  agent.send(R"({"jsonrpc":"2.0","id":null,"method":"hold"})");  // never recorded
  ASSERT_TRUE(app.waitForLines(0, 6));
  app.stop();

  std::map<std::string, int> answers;
  for (int i = 0; i < 2; ++i) {
    auto reply = agent.nextMessage();
    ASSERT_TRUE(reply);
    expectError(reply, (*reply)["id"], std::string(disconnectMessage));
    ++answers[idKey((*reply)["id"])];
  }
  EXPECT_EQ(answers, (std::map<std::string, int>{{"[7]", 1}, {"[\"7\"]", 1}}));
  expectSilence();
}

TEST_F(RelayTest, AConnectionEndingWithNothingInFlightWritesNothing) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "tools/list"));
  expectResult(agent.nextMessage(), 1);
  app.stop();
  expectSilence();
}

TEST_F(RelayTest, ReplaysTheHandshakeOnEveryNewConnectionAndHidesItsReplies) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "tools/list"));
  expectResult(agent.nextMessage(), 1);

  for (int replay = 1; replay <= 2; ++replay) {
    appQuits();
    app.start();
    json call = request(10 + replay, "tools/call");
    agent.send(call);
    // The reply to the replayed "initialize" never shows: the next line is the call's.
    expectResult(agent.nextMessage(), 10 + replay);

    size_t connection = size_t(replay);
    ASSERT_TRUE(app.waitForLines(connection, 3));
    auto log = app.log(connection);
    ASSERT_EQ(log.size(), 3u);
    json replayed = *parseObject(log[0]);
    json expected = initializeRequest;
    expected["id"] = "quillore-replay-" + std::to_string(replay);
    EXPECT_EQ(replayed, expected);
    EXPECT_EQ(*parseObject(log[1]), initializedNotification);
    EXPECT_EQ(log[2], encode(call));
  }
  expectSilence();
}

TEST_F(RelayTest, WhileDisconnectedOnlyRequestsAreAnsweredAndTheHandshakeIsRemembered) {
  relay.start();  // the app is not there
  agent.send(initializeRequest);
  expectError(agent.nextMessage(), 0, notRunning());
  // Dropped without an answer, but remembered for the next connection.
  agent.send(initializedNotification);
  agent.send(R"({"jsonrpc":"2.0","method":"notifications/progress"})");
  agent.send(R"({"jsonrpc":"2.0","id":"app-1","result":{}})");
  agent.send(R"({"jsonrpc":"2.0","id":null,"method":"tools/list"})");
  agent.send("not json");
  agent.send("");
  expectSilence();

  app.start();
  agent.send(request("s", "tools/list"));
  expectResult(agent.nextMessage(), "s");
  ASSERT_TRUE(app.waitForLines(0, 3));
  auto log = app.log(0);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ((*parseObject(log[0]))["id"], "quillore-replay-1");
  EXPECT_EQ(*parseObject(log[1]), initializedNotification);
  EXPECT_EQ(log[2], encode(request("s", "tools/list")));
}

TEST_F(RelayTest, TheAgentsOwnInitializeReconnectsWithoutAReplay) {
  app.start();
  relay.start();
  handshake();
  appQuits();
  app.start();

  json again = initializeRequest;
  again["id"] = 100;
  again["params"]["clientInfo"]["version"] = "2";
  agent.send(again);
  expectResult(agent.nextMessage(), 100);  // its reply is the agent's
  ASSERT_TRUE(app.waitForLines(1, 1));
  EXPECT_EQ(app.log(1), std::vector<std::string>{encode(again)});

  // It is now the stored handshake.
  appQuits();
  app.start();
  agent.send(request(101, "tools/list"));
  expectResult(agent.nextMessage(), 101);
  ASSERT_TRUE(app.waitForLines(2, 3));
  json replayed = *parseObject(app.log(2)[0]);
  EXPECT_EQ(replayed["params"]["clientInfo"]["version"], "2");
  EXPECT_EQ(replayed["id"], "quillore-replay-1");
}

TEST_F(RelayTest, AnInitializeSentAsANotificationIsStoredForReplay) {
  app.start();
  relay.start();
  json notification = initializeRequest;
  notification.erase("id");
  agent.send(notification);
  ASSERT_TRUE(app.waitForLines(0, 1));
  appQuits();
  app.start();
  agent.send(request(1, "tools/list"));
  expectResult(agent.nextMessage(), 1);
  ASSERT_TRUE(app.waitForLines(1, 2));
  auto log = app.log(1);
  json expected = notification;
  expected["id"] = "quillore-replay-1";
  EXPECT_EQ(*parseObject(log[0]), expected);
  EXPECT_EQ(log[1], encode(request(1, "tools/list")));  // no "initialized" was ever sent
}

TEST_F(RelayTest, LaunchesTheAppAtMostOnceAMinute) {
  relay.start();
  agent.send(request(1, "tools/list"));  // at the relay's creation
  expectError(agent.nextMessage(), 1, notRunning());
  relay.advanceClock(60s);  // exactly a minute: not more than one
  agent.send(request(2, "tools/list"));
  expectError(agent.nextMessage(), 2, notRunning());
  relay.advanceClock(1ms);  // now it is
  agent.send(request(3, "tools/list"));
  expectError(agent.nextMessage(), 3, notRunning());
  relay.advanceClock(10s);  // ten seconds after that failed launch
  agent.send(request(4, "tools/list"));
  expectError(agent.nextMessage(), 4, notRunning());
  relay.advanceClock(50s);  // a minute since the launch, not more
  agent.send(request(5, "tools/list"));
  expectError(agent.nextMessage(), 5, notRunning());
  relay.advanceClock(1ms);
  agent.send(request(6, "tools/list"));
  expectError(agent.nextMessage(), 6, notRunning());
  agent.send(R"({"jsonrpc":"2.0","method":"notifications/progress"})");  // no attempt at all
  relay.finish();
  EXPECT_EQ(relay.launches(), (std::vector<bool>{true, false, false, true, false, false, true}));
}

TEST_F(RelayTest, ReturnsAtTheEndOfInputWithRequestsInFlight) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "hold"));
  ASSERT_TRUE(app.waitForLines(0, 3));
  relay.finish();  // returns although request 1 was never answered
  SUCCEED();
}

TEST_F(RelayTest, AClosedOutputIsNoticedByTheThreadThatWrites) {
  app.start();
  relay.start();
  handshake();
  agent.closeOutput();
  app.send(R"({"jsonrpc":"2.0","method":"notifications/message"})");
  EXPECT_TRUE(eventually([&] { return relay.outputGone(); }));
}

TEST_F(RelayTest, ErrorRepliesNoticeAClosedOutputToo) {
  relay.start();
  agent.closeOutput();
  agent.send(request(1, "tools/list"));
  EXPECT_TRUE(eventually([&] { return relay.outputGone(); }));
}

// A reader thread that stops because the agent has gone closes its socket: once the
// relay's main loop has let go of its own descriptor too, the app sees the end.
TEST_F(RelayTest, AReaderThatStopsEarlyClosesItsConnection) {
  app.start();
  relay.start();
  handshake();
  agent.closeOutput();
  app.send(R"({"jsonrpc":"2.0","method":"notifications/message"})");
  ASSERT_TRUE(eventually([&] { return relay.outputGone(); }));
  relay.finish();
  EXPECT_TRUE(app.waitForClose(0));
}

// Reader threads hold what they share with the relay: they pass lines on and answer
// what is in flight after the relay itself is gone.
TEST_F(RelayTest, ReaderThreadsWorkOnAfterTheRelayIsGone) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "hold"));
  ASSERT_TRUE(app.waitForLines(0, 3));
  relay.finish();
  const std::string notification = R"({"jsonrpc":"2.0","method":"notifications/message"})";
  app.send(notification);
  EXPECT_EQ(agent.next(), notification);
  app.stop();
  expectError(agent.nextMessage(), 1, std::string(disconnectMessage));
  expectSilence();
}

TEST_F(RelayTest, ALargeReplyArrivesWhole) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "hold"));
  ASSERT_TRUE(app.waitForLines(0, 3));
  std::string data(5'000'000, 'Q');
  std::string reply = R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"image","data":")" + data + R"("}]}})";
  // Sent on a thread of its own: the relay passes it on while it arrives.
  std::thread sender([&] { app.send(reply); });
  EXPECT_EQ(agent.next(), reply);
  sender.join();
  app.stop();
  expectSilence();  // it was answered, so nothing is in flight any more
}

TEST_F(RelayTest, WhatTheAppLeavesWithoutALineFeedIsPassedOnAsALastLine) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "hold"));
  agent.send(request(2, "hold"));
  ASSERT_TRUE(app.waitForLines(0, 4));
  // A whole reply without its LF is still a reply: request 1 is answered once.
  app.sendRaw(R"({"jsonrpc":"2.0","id":1,"result":{}})");
  app.stop();
  expectResult(agent.nextMessage(), 1);
  expectError(agent.nextMessage(), 2, std::string(disconnectMessage));
  app.start();
  agent.send(request(3, "hold"));
  ASSERT_TRUE(app.waitForLines(1, 3));
  // Half a reply is not: it goes on as it is, and request 3 gets its error.
  std::string piece = R"({"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"cut sho)";
  app.sendRaw(piece);
  app.stop();
  EXPECT_EQ(agent.next(), piece);
  expectError(agent.nextMessage(), 3, std::string(disconnectMessage));
  expectSilence();
}

TEST_F(RelayTest, ALongLineCutShortByTheAppStillEndsWithItsLineFeed) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "hold"));
  ASSERT_TRUE(app.waitForLines(0, 3));
  std::string piece = R"({"jsonrpc":"2.0","id":1,"result":{"data":")" + std::string(3'000'000, 'D');
  std::thread sender([&] {
    app.sendRaw(piece);
    app.stop();
  });
  // It goes on while it arrives and is ended as a line of its own; the request gets
  // its error.
  EXPECT_EQ(agent.next(), piece);
  expectError(agent.nextMessage(), 1, std::string(disconnectMessage));
  sender.join();
  expectSilence();
}

// The agent may use an id again as soon as it has the answer, even while the relay is
// still finishing with a long reply that it passed on as it arrived.
TEST_F(RelayTest, AnIdUsedAgainRightAfterALongReplyIsStillInFlight) {
  app.start();
  relay.start();
  handshake();
  agent.send(request(1, "hold"));
  ASSERT_TRUE(app.waitForLines(0, 3));
  std::string reply = R"({"jsonrpc":"2.0","id":1,"result":{"data":")" + std::string(3'000'000, 'x') + R"("}})";
  std::thread sender([&] { app.send(reply); });
  EXPECT_EQ(agent.next(), reply);
  agent.send(request(1, "hold"));
  ASSERT_TRUE(app.waitForLines(0, 4));
  sender.join();
  app.stop();
  expectError(agent.nextMessage(), 1, std::string(disconnectMessage));
  expectSilence();
}

// The app writes long replies without reading meanwhile, while the agent sends a long
// request: the relay keeps taking the app's lines while it waits to write the request.
TEST_F(RelayTest, LongRequestsAndLongRepliesCrossWithoutWaitingForEachOther) {
  app.start();
  relay.start();
  handshake();
  std::thread sender([&] {
    for (int id = 1; id <= 3; ++id) agent.send(request(id, "big"));
    json longRequest = request(4, "tools/call");
    longRequest["params"]["pad"] = std::string(1'000'000, 'r');
    agent.send(longRequest);
  });
  std::set<std::string> answered;
  for (int i = 0; i < 4; ++i) {
    auto reply = agent.nextMessage(20s);
    ASSERT_TRUE(reply) << "the relay and the app wait for each other";
    answered.insert(idKey((*reply)["id"]));
  }
  sender.join();
  EXPECT_EQ(answered, (std::set<std::string>{"[1]", "[2]", "[3]", "[4]"}));
}

// Under churn: thousands of requests while the app quits and comes back at random
// moments. Every request gets exactly one answer, and every line is whole.
TEST_F(RelayTest, EveryRequestIsAnsweredExactlyOnceWhileTheAppComesAndGoes) {
  constexpr int minimumRequests = 4000;
  constexpr int restarts = 25;
  app.start();
  relay.start();
  handshake();

  std::atomic<bool> churning{true};
  std::thread churn([&] {
    std::mt19937 random(7);
    for (int i = 0; i < restarts; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
      app.stop();
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
      app.start();
    }
    churning = false;
  });

  std::atomic<int> sent{0};
  std::atomic<bool> sendingDone{false};
  std::map<std::string, int> answers;
  int answered = 0;
  int errors = 0;
  std::thread reader([&] {
    auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!(sendingDone && answered >= sent) && std::chrono::steady_clock::now() < giveUp) {
      auto line = agent.next(100ms);
      if (!line) continue;
      auto message = parseObject(*line);
      ASSERT_TRUE(message) << "torn line: " << line->substr(0, 200);
      ASSERT_TRUE(message->contains("id"));
      if (message->contains("error")) {
        ++errors;
        const auto& text = (*message)["error"]["message"];
        EXPECT_TRUE(text == disconnectMessage || text == notRunning()) << text;
      }
      ++answers[idKey((*message)["id"])];
      ++answered;
    }
  });

  // Requests go out for as long as the app comes and goes, and at least the minimum.
  std::mt19937 random(11);
  for (int i = 0; churning || i < minimumRequests; ++i) {
    // Ids of both types; a long payload now and then, so that lines are written in
    // several pieces.
    json id = i % 2 ? json(i) : json("r" + std::to_string(i));
    json message = request(id, "tools/call");
    if (random() % 100 == 0) message["params"]["pad"] = std::string(100'000, 'p');
    agent.send(message);
    sent = i + 1;
    if (i % 10 == 0) std::this_thread::sleep_for(1ms);
  }
  sendingDone = true;
  churn.join();
  reader.join();
  app.start();

  EXPECT_EQ(answered, sent);
  EXPECT_EQ(answers.size(), size_t(sent));
  for (const auto& [key, count] : answers) EXPECT_EQ(count, 1) << key;
  EXPECT_GT(errors, 0);  // the churn did hit requests
  expectSilence();
}

}  // namespace
}  // namespace quillore
