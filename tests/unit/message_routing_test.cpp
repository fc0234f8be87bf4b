// routeMessage and deliverToClient where the real process cannot show them:
// the given length, a forgotten handle, and threads racing. What a page
// sees of routing is tested end to end (tests/integration).
#include "bridge/message_routing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bridge/outgoing_queue.h"
#include "install/install_task.h"
#include "modules/handler_registry.h"
#include "test_catalogue.h"
#include "test_frames.h"

namespace {

using Texts = std::vector<std::string>;

bool contains(const Texts& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class MessageRoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installFrameRecorder();
    ASSERT_TRUE(ensureTestCatalogue());
  }
  // Made-up connection handles, used only as identities.
  char tags_[4] = {};
};

TEST_F(MessageRoutingTest, OnlyTheGivenLengthIsRead) {
  const std::string payload = R"({"request":{"act":"LOAD"}})";
  const std::string data = payload + "}} trailing";
  routeMessage(&tags_[0], data.data(), payload.size());
  EXPECT_EQ(takeFrames(&tags_[0]),
            Texts{"{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 1\n}"});
  routeMessage(&tags_[0], data.data(), 0);
  EXPECT_EQ(takeFrames(&tags_[0]), Texts{});
}

// A later client served under the same handle hears nothing meant for the
// one that closed: neither what was queued nor a running install's reports.
TEST_F(MessageRoutingTest, ForgottenClientLosesQueueAndSubscriptions) {
  Connection client = &tags_[0];
  queueMessage(client, "stale");
  subscribeClient("somemodule", client);
  forgetClient(client);
  notifySubscribers("somemodule", "report");
  dropSubscribers("somemodule");
  deliverToClient(client);
  const Texts frames = takeFrames(client);
  EXPECT_FALSE(contains(frames, "stale"));
  EXPECT_FALSE(contains(frames, "report"));
}

// Meaningful under -DLAUNCHER_SANITIZE=thread too: registrations (with loads
// and unloads of failing modules) and requests on several threads while the
// tick walks the registry. Module state is the module's to guard.
TEST_F(MessageRoutingTest, RegisteringAndRequestsWhileTicking) {
  ASSERT_EQ(registerModule("echo"), 0);
  std::atomic<int> running{4};
  std::vector<std::thread> threads;
  threads.emplace_back([&running] {
    for (int round = 0; round < 20; ++round) {
      for (const char* name : {"Beta", "alpha", "emptypoll", "echo", "twoone",
                               "nostamp", "nullslots"})
        EXPECT_EQ(registerModule(name), 0) << name;
      EXPECT_EQ(registerModule("noexport"), 2);
      EXPECT_EQ(registerModule("nulltable"), 3);
      EXPECT_EQ(registerModule("absent"), 1);
    }
    running.fetch_sub(1);
  });
  for (int i = 1; i < 4; ++i) {
    threads.emplace_back([&running, connection = &tags_[i]] {
      const std::string payload = R"({"target":"echo","request":"push:x"})";
      for (int n = 0; n < 200; ++n)
        routeMessage(connection, payload.data(), payload.size());
      running.fetch_sub(1);
    });
  }
  std::size_t pushed[4] = {};
  bool sawBeta = false;
  auto tick = [&] {
    for (int i = 0; i < 4; ++i) {
      deliverToClient(&tags_[i]);
      for (const std::string& text : takeFrames(&tags_[i])) {
        pushed[i] += text == "x";
        sawBeta |= text == "Beta";
      }
    }
  };
  while (running.load() > 0) tick();
  for (std::thread& t : threads) t.join();
  tick();
  EXPECT_TRUE(sawBeta);
  EXPECT_EQ(pushed[0], 0u);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(pushed[i], 200u) << i;
}

}  // namespace
