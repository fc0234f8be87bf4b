// OutgoingQueue: per-connection FIFO of launcher texts.
#include "bridge/outgoing_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/message_texts.h"

namespace {

// Connections are only identities: addresses of these serve as handles that
// no other test uses.
char firstClient;
char secondClient;

std::vector<std::string> takeAll(Connection connection) {
  std::vector<std::string> texts;
  char** array = takeMessages(connection);
  if (array == nullptr) return texts;
  for (char** p = array; *p != nullptr; ++p) texts.emplace_back(*p);
  freeMessages(array);
  return texts;
}

class OutgoingQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dropQueuedMessages(&firstClient);
    dropQueuedMessages(&secondClient);
  }
  void TearDown() override { SetUp(); }
};

TEST_F(OutgoingQueueTest, NothingPendingGivesNull) {
  EXPECT_EQ(takeMessages(&firstClient), nullptr);
  freeMessages(nullptr);  // allowed
}

TEST_F(OutgoingQueueTest, OldestFirstAndTakingEmptiesTheQueue) {
  queueMessage(&firstClient, "one");
  queueMessage(&firstClient, "two");
  queueMessage(&firstClient, "three");
  EXPECT_EQ(takeAll(&firstClient),
            (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(takeMessages(&firstClient), nullptr);
  queueMessage(&firstClient, "four");
  EXPECT_EQ(takeAll(&firstClient), std::vector<std::string>{"four"});
}

TEST_F(OutgoingQueueTest, EachConnectionHasItsOwnQueue) {
  queueMessage(&firstClient, "a1");
  queueMessage(&secondClient, "b1");
  queueMessage(&firstClient, "a2");
  EXPECT_EQ(takeAll(&secondClient), std::vector<std::string>{"b1"});
  EXPECT_EQ(takeAll(&firstClient), (std::vector<std::string>{"a1", "a2"}));
}

TEST_F(OutgoingQueueTest, DropForgetsOneConnectionOnly) {
  queueMessage(&firstClient, "lost");
  queueMessage(&secondClient, "kept");
  dropQueuedMessages(&firstClient);
  dropQueuedMessages(&firstClient);  // nothing left: harmless
  EXPECT_EQ(takeMessages(&firstClient), nullptr);
  EXPECT_EQ(takeAll(&secondClient), std::vector<std::string>{"kept"});
}

TEST_F(OutgoingQueueTest, TextsArriveIntactAsTerminatedCopies) {
  const std::string json = "{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 2\n}";
  const std::string quotes = "\"quoted\" \\ \xc3\xa9 \t";
  const std::string big(100000, 'x');
  queueMessage(&firstClient, json);
  queueMessage(&firstClient, "");
  queueMessage(&firstClient, quotes);
  queueMessage(&firstClient, big);
  char** array = takeMessages(&firstClient);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array[0], json);
  EXPECT_STREQ(array[1], "");
  EXPECT_EQ(array[2], quotes);
  EXPECT_EQ(array[3], big);
  EXPECT_EQ(array[4], nullptr);
  freeMessages(array);
}

TEST_F(OutgoingQueueTest, TextIsCopiedWhenQueued) {
  std::string text = "original";
  queueMessage(&firstClient, text);
  text = "changed";
  EXPECT_EQ(takeAll(&firstClient), std::vector<std::string>{"original"});
}

TEST(MessageTextsTest, DuplicateTextIsAnEqualHeapCopy) {
  const char original[] = "some text";
  char* copy = duplicateText(original);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, original);
  EXPECT_STREQ(copy, original);
  freeText(copy);
  freeText(nullptr);
}

}  // namespace
