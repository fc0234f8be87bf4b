// OutgoingQueue: per-connection FIFO of launcher texts.
#include "bridge/outgoing_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/message_texts.h"

namespace {

using Texts = std::vector<std::string>;

// Handles that no other test uses.
char first;
char second;

Texts takeAll(Connection connection) {
  Texts texts;
  char** array = takeMessages(connection);
  if (array == nullptr) return texts;
  for (char** p = array; *p != nullptr; ++p) texts.emplace_back(*p);
  freeMessages(array);
  return texts;
}

TEST(OutgoingQueueTest, OldestFirstPerConnectionUntilTakenOrDropped) {
  EXPECT_EQ(takeMessages(&first), nullptr);
  queueMessage(&first, "a1");
  queueMessage(&second, "b1");
  queueMessage(&first, "a2");
  queueMessage(&first, "a3");
  EXPECT_EQ(takeAll(&first), (Texts{"a1", "a2", "a3"}));
  EXPECT_EQ(takeMessages(&first), nullptr);
  queueMessage(&first, "lost");
  dropQueuedMessages(&first);
  dropQueuedMessages(&first);  // nothing left: harmless
  EXPECT_EQ(takeMessages(&first), nullptr);
  EXPECT_EQ(takeAll(&second), Texts{"b1"});
}

TEST(OutgoingQueueTest, TextsArriveIntactAsTerminatedCopies) {
  const Texts texts = {"{\n\t\"act\" : \"LOAD\",\n\t\"result\" : 2\n}", "",
                       "\"quoted\" \\ \xc3\xa9 \t", std::string(100000, 'x')};
  for (const std::string& text : texts) queueMessage(&first, text);
  char** array = takeMessages(&first);
  ASSERT_NE(array, nullptr);
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(array[i], texts[i]);
  EXPECT_EQ(array[texts.size()], nullptr);
  freeMessages(array);
}

}  // namespace
