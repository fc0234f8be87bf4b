// routeMessage and deliverToClient, against a recording frame writer and the
// test module libraries (tests/modules).
#include "bridge/message_routing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/json_text.h"
#include "bridge/outgoing_queue.h"
#include "modules/handler_registry.h"
#include "test_catalogue.h"
#include "test_frames.h"

namespace {

using Texts = std::vector<std::string>;

void route(Connection connection, const std::string& payload) {
  routeMessage(connection, payload.data(), payload.size());
}

// The one reply to a payload, or "" with a failure when there is not
// exactly one.
std::string replyTo(Connection connection, const std::string& payload) {
  takeFrames(connection);
  route(connection, payload);
  Texts frames = takeFrames(connection);
  EXPECT_EQ(frames.size(), 1u) << payload;
  return frames.size() == 1 ? frames[0] : std::string();
}

void expectNoReply(Connection connection, const std::string& payload) {
  takeFrames(connection);
  route(connection, payload);
  EXPECT_EQ(takeFrames(connection), Texts{})
      << "payload of " << payload.size() << " bytes: " << payload.substr(0, 80);
}

// The frames of one tick for a connection.
Texts tick(Connection connection) {
  takeFrames(connection);
  deliverToClient(connection);
  return takeFrames(connection);
}

// The given texts as they appear, in order, among frames.
Texts onlyThese(const Texts& frames, const Texts& wanted) {
  Texts kept;
  for (const std::string& text : frames)
    if (std::find(wanted.begin(), wanted.end(), text) != wanted.end())
      kept.push_back(text);
  return kept;
}

// echo's {"arrays":M,"replies":N}.
Json::Value echoStats(Connection connection) {
  Json::Value stats;
  EXPECT_TRUE(parseJsonText(
      replyTo(connection, R"({"target":"echo","request":"stats"})"), stats));
  return stats;
}

class MessageRoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installFrameRecorder();
    ASSERT_TRUE(ensureTestCatalogue());
    for (const char* name : {"echo", "Beta", "alpha", "emptypoll", "nullslots"})
      ASSERT_EQ(registerModule(name), 0) << name;
    takeFrames(client);
    takeFrames(other);
  }
  void TearDown() override {
    forgetClient(client);
    forgetClient(other);
    takeFrames(client);
    takeFrames(other);
  }

  // Made-up connection handles, used only as identities.
  char clientTag = 0;
  char otherTag = 0;
  Connection client = &clientTag;
  Connection other = &otherTag;
};

// ---- Launcher actions -------------------------------------------------

TEST_F(MessageRoutingTest, EnvelopeWithoutTargetGoesToTheLauncher) {
  EXPECT_EQ(replyTo(client, R"({"request":{"act":"LOAD"}})"),
            "{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 1\n}");
  EXPECT_EQ(replyTo(client, R"({"request":{"act":"INITMC"}})"),
            "{\n\t\"act\" : \"INITMC\"\n}");

  Json::Value hello;
  ASSERT_TRUE(
      parseJsonText(replyTo(client, R"({"request":{"act":"HELLO"}})"), hello));
  EXPECT_EQ(hello["act"], "HELLO");
  EXPECT_TRUE(hello["version"].isString());
  EXPECT_EQ(hello["ready"], 1);  // the test catalogue is loaded
}

TEST_F(MessageRoutingTest, NullTargetIsLikeNoTarget) {
  const std::string expected = "{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 1\n}";
  EXPECT_EQ(replyTo(client, R"({"target":null,"request":{"act":"LOAD"}})"),
            expected);
  EXPECT_EQ(replyTo(client, R"({"request":{"act":"LOAD"},"target":null})"),
            expected);
  // Other members are ignored.
  EXPECT_EQ(replyTo(client, R"({"x":[1],"request":{"act":"LOAD"}})"), expected);
}

TEST_F(MessageRoutingTest, LoadThroughTheEnvelope) {
  EXPECT_EQ(replyTo(client, R"({"request":{"act":"LOAD","module":"echo"}})"),
            "{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 0\n}");
  EXPECT_EQ(replyTo(client, R"({"request":{"act":"LOAD","module":"ghost"}})"),
            "{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 6\n}");
  // Listed in the catalogue, but not a plain file name.
  EXPECT_EQ(replyTo(client, R"({"request":{"act":"LOAD","module":"a/b"}})"),
            "{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 6\n}");
}

TEST_F(MessageRoutingTest, UnknownOrMalformedActionsGetNoReply) {
  for (const char* payload : {
           R"({"request":{"act":"hello"}})",
           R"({"request":{"act":"HELLO "}})",
           R"({"request":{"act":"HEL"}})",
           R"({"request":{"act":null}})",
           R"({"request":{"act":["HELLO"]}})",
           R"({"request":{"act":1}})",
           R"({"request":{}})",
           R"({"request":"HELLO"})",
           R"({"request":["HELLO"]})",
           R"({"request":null})",
           R"({})",
       })
    expectNoReply(client, payload);
}

// ---- Payloads that are not envelopes ---------------------------------------

TEST_F(MessageRoutingTest, PayloadsThatAreNotStrictEnvelopesGetNoReply) {
  for (const char* payload : {
           R"([{"request":{"act":"HELLO"}}])",
           R"(5)",
           R"("text")",
           R"(null)",
           R"({"request":{"act":"HELLO"},"request":{"act":"HELLO"}})",
           R"({"request":{"act":"HELLO"}} // comment)",
           R"(/* c */ {"request":{"act":"HELLO"}})",
           R"({"request":{"act":"HELLO"}} x)",
           R"({"request":{"act":"HELLO"}}{})",
           R"({'request':{'act':'HELLO'}})",
           R"({"request":{"act":"HELLO"},})",
           "",
           "   ",
       })
    expectNoReply(client, payload);
}

TEST_F(MessageRoutingTest, BinaryJunkGetsNoReply) {
  std::string junk;
  for (int i = 0; i < 4096; ++i)
    junk += static_cast<char>((i * 37 + 11) & 0xff);
  expectNoReply(client, junk);
  expectNoReply(client, std::string("\0\0\0\0", 4));
  expectNoReply(client, std::string("{\"request\":{\"act\":\"HELLO\"}}\0", 28));
  expectNoReply(client, "\xff\xfe{\"request\":{\"act\":\"HELLO\"}}");
  expectNoReply(client, "\xEF\xBB\xBF{\"request\":{\"act\":\"HELLO\"}}");
  expectNoReply(client, "{\"request\":{\"act\":\"HELLO\xff\"}}");
}

TEST_F(MessageRoutingTest, OnlyTheGivenLengthIsRead) {
  const std::string payload = R"({"request":{"act":"LOAD"}})";
  const std::string data = payload + "}} trailing";
  takeFrames(client);
  routeMessage(client, data.data(), payload.size());
  EXPECT_EQ(takeFrames(client),
            Texts{"{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 1\n}"});
  routeMessage(client, data.data(), 0);
  EXPECT_EQ(takeFrames(client), Texts{});
}

TEST_F(MessageRoutingTest, ArrayOrObjectTargetGetsNoReply) {
  for (const char* payload : {
           R"({"target":["echo"],"request":"x"})",
           R"({"target":{"echo":1},"request":"x"})",
           R"({"target":[],"request":{"act":"HELLO"}})",
           R"({"target":{},"request":{"act":"HELLO"}})",
       })
    expectNoReply(client, payload);
}

TEST_F(MessageRoutingTest, NestingBeyondTheLimitGetsNoReply) {
  std::string deepRequest = R"({"target":"echo","request":)";
  deepRequest += std::string(1000, '[') + std::string(1000, ']') + "}";
  expectNoReply(client, deepRequest);
  std::string deepLauncher = R"({"request":)";
  deepLauncher += std::string(1000, '[') + std::string(1000, ']') + "}";
  expectNoReply(client, deepLauncher);
  expectNoReply(client, std::string(100000, '['));
  expectNoReply(client, std::string(100000, '{'));
  // Just inside the limit: 999 levels of request under the envelope.
  std::string inside = R"({"target":"echo","request":)";
  inside += std::string(999, '[') + std::string(999, ']') + "}";
  route(client, inside);
  Texts frames = takeFrames(client);
  ASSERT_EQ(frames.size(), 1u);
  Json::Value echoed;
  EXPECT_TRUE(parseJsonText(frames[0], echoed));
}

// ---- Requests to modules ---------------------------------------------------

TEST_F(MessageRoutingTest, RequestReachesTheModuleAsTheLaunchersJsonText) {
  EXPECT_EQ(replyTo(client, R"({"target":"echo","request":{"b":1,"a":"x"}})"),
            "{\n\t\"a\" : \"x\",\n\t\"b\" : 1\n}");
  EXPECT_EQ(replyTo(client, R"({"request" : { "z":[1,2] }, "target":"echo"})"),
            "{\n\t\"z\" : \n\t[\n\t\t1,\n\t\t2\n\t]\n}");
  EXPECT_EQ(replyTo(client, R"({"target":"echo"})"), "null");
  EXPECT_EQ(replyTo(client, R"({"target":"echo","request":null})"), "null");
  EXPECT_EQ(replyTo(client, R"({"target":"echo","request":"abc"})"), "\"abc\"");
  EXPECT_EQ(replyTo(client, R"({"target":"echo","request":12})"), "12");
  EXPECT_EQ(replyTo(client, R"({"target":"echo","request":"\u00e9\n"})"),
            "\"\\u00e9\\n\"");
  // A launcher action addressed to a module is the module's business.
  EXPECT_EQ(replyTo(client, R"({"target":"echo","request":{"act":"HELLO"}})"),
            "{\n\t\"act\" : \"HELLO\"\n}");
}

TEST_F(MessageRoutingTest, TargetNamesAreMatchedExactly) {
  for (const char* payload : {
           R"({"target":"Echo","request":1})",
           R"({"target":"echo ","request":1})",
           R"({"target":"ech","request":1})",
           R"({"target":"","request":1})",
           R"({"target":"ghost","request":1})",
           R"({"target":5,"request":1})",
           R"({"target":true,"request":1})",
       })
    expectNoReply(client, payload);
}

TEST_F(MessageRoutingTest, ReplyIsSentOnceThenReleased) {
  const int before = echoStats(client)["replies"].asInt();
  // The first stats reply has been released by the time of the second.
  EXPECT_EQ(echoStats(client)["replies"].asInt(), before + 1);
  EXPECT_EQ(replyTo(client, R"({"target":"echo","request":[true]})"),
            "[\n\ttrue\n]");
  EXPECT_EQ(echoStats(client)["replies"].asInt(), before + 3);
}

TEST_F(MessageRoutingTest, NullSlotsAreSkipped) {
  expectNoReply(client, R"({"target":"nullslots","request":{"a":1}})");
  expectNoReply(client, R"({"target":"nullslots"})");
  // Beta and alpha have no handleRequest either.
  expectNoReply(client, R"({"target":"Beta","request":1})");
  // And the tick passes over nullslots without calling anything.
  Texts frames = tick(client);
  EXPECT_EQ(onlyThese(frames, {"Beta", "alpha"}), (Texts{"Beta", "alpha"}));
}

// ---- The tick ---------------------------------------------------------

TEST_F(MessageRoutingTest, ModulesArePolledInByteWiseNameOrder) {
  for (int i = 0; i < 3; ++i) {
    Texts frames = tick(client);
    EXPECT_EQ(onlyThese(frames, {"Beta", "alpha"}), (Texts{"Beta", "alpha"}));
  }
}

TEST_F(MessageRoutingTest, EmptyPollArrayIsReleasedButSendsNothing) {
  const std::string request = R"({"target":"emptypoll","request":null})";
  const unsigned long before = std::stoul(replyTo(client, request));
  Texts frames = tick(client);
  EXPECT_EQ(std::count(frames.begin(), frames.end(), std::string()), 0);
  EXPECT_EQ(std::stoul(replyTo(client, request)), before + 1);
  tick(client);
  tick(other);
  EXPECT_EQ(std::stoul(replyTo(client, request)), before + 3);
}

TEST_F(MessageRoutingTest, QueuedMessagesComeFirstThenModulesInOrder) {
  queueMessage(client, "first queued");
  queueMessage(client, "second queued");
  route(client, R"({"target":"echo","request":"push:from echo"})");
  EXPECT_EQ(takeFrames(client), Texts{"\"push:from echo\""});

  Texts frames = tick(client);
  ASSERT_GE(frames.size(), 5u);
  EXPECT_EQ(frames[0], "first queued");
  EXPECT_EQ(frames[1], "second queued");
  EXPECT_EQ(onlyThese(frames, {"Beta", "alpha", "from echo"}),
            (Texts{"Beta", "alpha", "from echo"}));

  // Taken: the next tick has neither the queued texts nor echo's.
  frames = tick(client);
  EXPECT_EQ(onlyThese(frames, {"first queued", "second queued", "from echo"}),
            Texts{});
}

TEST_F(MessageRoutingTest, ModuleMessagesArePerConnectionAndReleased) {
  const int arrays = echoStats(client)["arrays"].asInt();
  route(client, R"({"target":"echo","request":"push:one"})");
  route(client, R"({"target":"echo","request":"push:two"})");
  route(other, R"({"target":"echo","request":"push:three"})");
  // Not a push: no closing quote after the text.
  route(client, R"({"target":"echo","request":["push:four"]})");
  takeFrames(client);
  takeFrames(other);

  EXPECT_EQ(onlyThese(tick(other), {"one", "two", "three"}), Texts{"three"});
  EXPECT_EQ(onlyThese(tick(client), {"one", "two", "three"}),
            (Texts{"one", "two"}));
  EXPECT_EQ(echoStats(client)["arrays"].asInt(), arrays + 2);
  // Nothing queued: echo's poll returns null, no array to release.
  tick(client);
  EXPECT_EQ(echoStats(client)["arrays"].asInt(), arrays + 2);
}

TEST_F(MessageRoutingTest, ForgottenClientLosesWhatWasQueued) {
  queueMessage(client, "stale");
  forgetClient(client);
  EXPECT_EQ(onlyThese(tick(client), {"stale"}), Texts{});
}

TEST_F(MessageRoutingTest, ManyQueuedMessagesArriveInOrder) {
  Texts expected;
  for (int i = 0; i < 200; ++i) {
    expected.push_back("message " + std::to_string(i));
    queueMessage(client, expected.back());
  }
  Texts frames = tick(client);
  ASSERT_GE(frames.size(), expected.size());
  EXPECT_EQ(Texts(frames.begin(), frames.begin() + 200), expected);
}

}  // namespace
