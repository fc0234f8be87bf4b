// clientRegistry and the tick pass, with the registry's default lock (a
// plain mutex: no server is started here).
#include "bridge/client_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A gate that hooks wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return open_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool open_ = false;
};

// What the onTick hook sees; hooks are plain functions, so it is global.
struct TickLog {
  std::mutex lock;
  std::vector<Connection> ticked;
  std::vector<std::int32_t> statesSeen;
  // When set, onTick for this connection blocks at the gate.
  std::atomic<Connection> blockOn{nullptr};
  Gate* gate = nullptr;
  std::atomic<bool> blockedEntered{false};
  std::atomic<int> sequence{0};
  std::atomic<int> blockedExitedAt{0};
  // The record of each connection, to look at its state from the hook.
  std::vector<std::pair<Connection, BridgeClient*>> records;
};
TickLog* tickLog = nullptr;

void recordTick(Connection connection) {
  {
    std::lock_guard<std::mutex> guard(tickLog->lock);
    tickLog->ticked.push_back(connection);
    for (const auto& [c, record] : tickLog->records)
      if (c == connection) tickLog->statesSeen.push_back(record->state);
  }
  if (connection == tickLog->blockOn.load()) {
    tickLog->blockedEntered.store(true);
    tickLog->gate->wait();
    tickLog->blockedExitedAt.store(++tickLog->sequence);
  }
}

const BridgeHooks kHooks{recordTick, nullptr, nullptr};

class ClientRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tickLog = &log_;
    baseline_ = clientCount();
  }
  void TearDown() override {
    for (BridgeClient* client : open_) unregisterClient(client);
    EXPECT_EQ(clientCount(), baseline_);
    tickLog = nullptr;
  }

  BridgeClient* connect(Connection connection, bool ready) {
    BridgeClient* client = registerClient(connection);
    EXPECT_NE(client, nullptr);
    if (client == nullptr) return nullptr;
    EXPECT_EQ(client->connection, connection);
    EXPECT_EQ(client->state, Connected);
    if (ready) markClientReady(client, connection);
    open_.push_back(client);
    std::lock_guard<std::mutex> guard(log_.lock);
    log_.records.emplace_back(connection, client);
    return client;
  }
  void close(BridgeClient* client) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (*it == client) {
        open_.erase(it);
        break;
      }
    }
    std::lock_guard<std::mutex> guard(log_.lock);
    for (auto it = log_.records.begin(); it != log_.records.end(); ++it) {
      if (it->second == client) {
        log_.records.erase(it);
        break;
      }
    }
  }
  std::vector<Connection> tickOnce() {
    {
      std::lock_guard<std::mutex> guard(log_.lock);
      log_.ticked.clear();
    }
    tickClients(kHooks);
    std::lock_guard<std::mutex> guard(log_.lock);
    return log_.ticked;
  }

  TickLog log_;
  std::vector<BridgeClient*> open_;
  std::size_t baseline_ = 0;
  char tags_[4] = {};
  Connection a_ = &tags_[0];
  Connection b_ = &tags_[1];
  Connection c_ = &tags_[2];
  Connection d_ = &tags_[3];
};

TEST_F(ClientRegistryTest, ReadyClientsAreTickedInConnectionOrder) {
  BridgeClient* a = connect(a_, false);
  BridgeClient* b = connect(b_, false);
  BridgeClient* c = connect(c_, false);
  EXPECT_EQ(clientCount(), baseline_ + 3);
  // The order of readiness does not matter, only that of connection.
  markClientReady(c, c_);
  markClientReady(a, a_);
  markClientReady(b, b_);
  EXPECT_EQ(tickOnce(), (std::vector<Connection>{a_, b_, c_}));
  EXPECT_EQ(tickOnce(), (std::vector<Connection>{a_, b_, c_}));

  // Removal keeps the order of the rest; a newcomer goes last.
  unregisterClient(b);
  close(b);
  connect(d_, true);
  EXPECT_EQ(tickOnce(), (std::vector<Connection>{a_, c_, d_}));
}

TEST_F(ClientRegistryTest, ClientIsBusyDuringItsTickAndReadyAfter) {
  BridgeClient* a = connect(a_, true);
  EXPECT_EQ(a->state, Ready);
  tickOnce();
  EXPECT_EQ(log_.statesSeen, std::vector<std::int32_t>{Busy});
  EXPECT_EQ(a->state, Ready);
}

TEST_F(ClientRegistryTest, ConnectedClientIsNotTicked) {
  BridgeClient* a = connect(a_, false);
  connect(b_, true);
  EXPECT_EQ(tickOnce(), std::vector<Connection>{b_});
  // Readiness for another connection's handle does not count.
  markClientReady(a, c_);
  EXPECT_EQ(a->state, Connected);
  EXPECT_EQ(tickOnce(), std::vector<Connection>{b_});
  markClientReady(nullptr, a_);
  markClientReady(a, a_);
  EXPECT_EQ(tickOnce(), (std::vector<Connection>{a_, b_}));
}

TEST_F(ClientRegistryTest, ClientThatClosesBeforeItsHandshakeIsNeverTicked) {
  BridgeClient* a = connect(a_, false);
  unregisterClient(a);
  close(a);
  EXPECT_EQ(clientCount(), baseline_);
  EXPECT_EQ(tickOnce(), std::vector<Connection>{});
  unregisterClient(nullptr);  // harmless
}

TEST_F(ClientRegistryTest, TickWithoutHookOnlyPassesOver) {
  BridgeClient* a = connect(a_, true);
  tickClients(BridgeHooks{nullptr, nullptr, nullptr});
  EXPECT_EQ(a->state, Ready);
}

TEST_F(ClientRegistryTest, ClientClosingDuringItsTickIsRemovedAfterIt) {
  Gate gate;
  log_.gate = &gate;
  log_.blockOn.store(b_);
  connect(a_, true);
  BridgeClient* b = connect(b_, true);
  connect(c_, true);

  std::thread tick([this] { tickOnce(); });
  while (!log_.blockedEntered.load()) std::this_thread::yield();

  std::atomic<bool> unregistering{false};
  std::atomic<int> unregisteredAt{0};
  std::thread closing([&] {
    unregistering.store(true);
    unregisterClient(b);
    unregisteredAt.store(++log_.sequence);
  });
  while (!unregistering.load()) std::this_thread::yield();
  // Give the close time to reach its wait; correctness does not depend on
  // it, only whether the wait is exercised.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(unregisteredAt.load(), 0);
  EXPECT_EQ(b->state, Busy);
  EXPECT_EQ(clientCount(), baseline_ + 3);

  gate.open();
  tick.join();
  closing.join();
  close(b);
  ASSERT_NE(log_.blockedExitedAt.load(), 0);
  EXPECT_LT(log_.blockedExitedAt.load(), unregisteredAt.load());
  EXPECT_EQ(clientCount(), baseline_ + 2);
  // The rest of that tick went on: c was ticked after b.
  std::lock_guard<std::mutex> guard(log_.lock);
  EXPECT_EQ(log_.ticked, (std::vector<Connection>{a_, b_, c_}));
}

TEST_F(ClientRegistryTest, ClientRemovedWhileTheTickIsElsewhereIsSkipped) {
  Gate gate;
  log_.gate = &gate;
  log_.blockOn.store(a_);
  connect(a_, true);
  BridgeClient* b = connect(b_, true);
  connect(c_, true);

  std::thread tick([this] { tickOnce(); });
  while (!log_.blockedEntered.load()) std::this_thread::yield();
  // b is Ready, not Busy: it goes at once, although the tick's walk has
  // already seen it.
  unregisterClient(b);
  close(b);
  EXPECT_EQ(clientCount(), baseline_ + 2);
  gate.open();
  tick.join();

  std::lock_guard<std::mutex> guard(log_.lock);
  EXPECT_EQ(log_.ticked, (std::vector<Connection>{a_, c_}));
}

}  // namespace
