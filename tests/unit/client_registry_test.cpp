// clientRegistry and the tick's hand-over with a closing client, which the
// real process shows only by timing. The registry's default lock is a plain
// mutex: no server is started here.
#include "bridge/client_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Connections = std::vector<Connection>;

// What onTick sees; hooks are plain functions, so it is reached globally.
struct TickLog {
  std::mutex lock;
  Connections ticked;
  std::vector<std::int32_t> states;  // each ticked client's, inside the hook
  std::map<Connection, BridgeClient*> records;
  Connection blockOn = nullptr;  // its onTick waits until the gate opens
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<bool> blocked{false};
  std::atomic<int> sequence{0};
  std::atomic<int> blockedExitedAt{0};
};
TickLog* tickLog = nullptr;

void recordTick(Connection connection) {
  {
    std::lock_guard<std::mutex> guard(tickLog->lock);
    tickLog->ticked.push_back(connection);
    tickLog->states.push_back(tickLog->records[connection]->state);
  }
  if (connection != tickLog->blockOn) return;
  tickLog->blocked.store(true);
  tickLog->opened.wait();
  tickLog->blockedExitedAt.store(++tickLog->sequence);
}

class ClientRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tickLog = &log_;
    baseline_ = clientCount();
  }
  void TearDown() override {
    for (const auto& entry : log_.records) unregisterClient(entry.second);
    EXPECT_EQ(clientCount(), baseline_);
    tickLog = nullptr;
  }

  BridgeClient* connect(Connection connection, bool ready) {
    BridgeClient* client = registerClient(connection);
    EXPECT_NE(client, nullptr);
    if (ready) markClientReady(client, connection);
    std::lock_guard<std::mutex> guard(log_.lock);
    log_.records[connection] = client;
    return client;
  }
  void close(Connection connection) {
    BridgeClient* client;
    {
      std::lock_guard<std::mutex> guard(log_.lock);
      client = log_.records[connection];
      log_.records.erase(connection);
    }
    unregisterClient(client);
  }
  Connections tickOnce() {
    {
      std::lock_guard<std::mutex> guard(log_.lock);
      log_.ticked.clear();
    }
    tickClients(BridgeHooks{recordTick, nullptr, nullptr, nullptr, nullptr});
    std::lock_guard<std::mutex> guard(log_.lock);
    return log_.ticked;
  }

  TickLog log_;
  std::size_t baseline_ = 0;
  char tags_[5] = {};
  Connection a_ = &tags_[0], b_ = &tags_[1], c_ = &tags_[2], d_ = &tags_[3],
             e_ = &tags_[4];
};

TEST_F(ClientRegistryTest, ReadyClientsAreTickedBusyInConnectionOrder) {
  BridgeClient* a = connect(a_, false);
  BridgeClient* b = connect(b_, false);
  BridgeClient* c = connect(c_, false);
  BridgeClient* d = connect(d_, false);
  EXPECT_EQ(clientCount(), baseline_ + 4);
  // The order of readiness does not matter, only that of connection; d,
  // never ready (another handle's or no record's readiness does not count),
  // is passed over.
  markClientReady(c, c_);
  markClientReady(a, a_);
  markClientReady(b, b_);
  markClientReady(d, e_);
  markClientReady(nullptr, d_);
  EXPECT_EQ(d->state, Connected);
  EXPECT_EQ(tickOnce(), (Connections{a_, b_, c_}));
  EXPECT_EQ(log_.states, (std::vector<std::int32_t>{Busy, Busy, Busy}));
  EXPECT_EQ(a->state, Ready);
  EXPECT_EQ(tickOnce(), (Connections{a_, b_, c_}));

  // Removal keeps the order of the rest; a newcomer goes last.
  close(b_);
  close(d_);
  connect(e_, true);
  EXPECT_EQ(clientCount(), baseline_ + 3);
  EXPECT_EQ(tickOnce(), (Connections{a_, c_, e_}));
}

TEST_F(ClientRegistryTest, ClientClosingDuringItsTickIsRemovedAfterIt) {
  log_.blockOn = b_;
  connect(a_, true);
  BridgeClient* b = connect(b_, true);
  connect(c_, true);
  std::thread tick([this] { tickOnce(); });
  while (!log_.blocked.load()) std::this_thread::yield();

  std::atomic<bool> closing{false};
  std::atomic<int> unregisteredAt{0};
  std::thread closer([&] {
    closing.store(true);
    close(b_);
    unregisteredAt.store(++log_.sequence);
  });
  while (!closing.load()) std::this_thread::yield();
  // Time for the close to reach its wait; correctness does not depend on
  // it, only whether the wait is exercised.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(unregisteredAt.load(), 0);
  EXPECT_EQ(b->state, Busy);
  EXPECT_EQ(clientCount(), baseline_ + 3);

  log_.gate.set_value();
  tick.join();
  closer.join();
  ASSERT_NE(log_.blockedExitedAt.load(), 0);
  EXPECT_LT(log_.blockedExitedAt.load(), unregisteredAt.load());
  EXPECT_EQ(clientCount(), baseline_ + 2);
  // The rest of that tick went on: c was ticked after b.
  EXPECT_EQ(log_.ticked, (Connections{a_, b_, c_}));
}

TEST_F(ClientRegistryTest, ClientRemovedWhileTheTickIsElsewhereIsSkipped) {
  log_.blockOn = a_;
  connect(a_, true);
  connect(b_, true);
  connect(c_, true);
  std::thread tick([this] { tickOnce(); });
  while (!log_.blocked.load()) std::this_thread::yield();
  // b is Ready, not Busy: it goes at once, although the tick's walk has
  // already seen it.
  close(b_);
  EXPECT_EQ(clientCount(), baseline_ + 2);
  log_.gate.set_value();
  tick.join();
  EXPECT_EQ(log_.ticked, (Connections{a_, c_}));
}

}  // namespace
