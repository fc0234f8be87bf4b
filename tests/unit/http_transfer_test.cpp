// Transfers where the process cannot show them: peer verification, the
// catalogue's time-out, an unopenable file and the buffer's growth. Status
// codes, resume, redirects and progress are tested end to end through
// installs and catalogue fetches (tests/integration).
#include "catalogue/http_transfer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "../support/https_server.h"

namespace {

namespace fs = std::filesystem;

// Owns what downloadToMemory leaves in a buffer.
struct Received {
  ReceiveBuffer buffer{nullptr, 0};
  ~Received() { std::free(buffer.bytes); }
  std::string text() const {
    return buffer.bytes ? std::string(buffer.bytes, buffer.length) : "";
  }
};

class HttpTransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    initialiseHttpTransfer();
    setTransferTrustBundle(trust_.c_str());  // kept by pointer
    std::string pattern = (fs::temp_directory_path() / "http-XXXXXX").string();
    root_ = mkdtemp(pattern.data()) ? pattern : "";
    std::ofstream(root_ / "small.txt") << "small file\n";
    server_ = new testsupport::HttpsServer(root_.string());
  }
  static void TearDownTestSuite() {
    delete server_;
    fs::remove_all(root_);
  }
  void SetUp() override {
    ASSERT_NE(server_->port(), 0) << "test server did not start";
  }

  static int toMemory(const std::string& path, Received& received,
                      std::int32_t timeout = 30) {
    return downloadToMemory(server_->url(path).c_str(), &received.buffer,
                            timeout);
  }

  static inline const std::string trust_ =
      testsupport::identityFile("root.pem");
  static inline fs::path root_;
  static inline testsupport::HttpsServer* server_ = nullptr;
};

TEST_F(HttpTransferTest, PeersAreVerified) {
  // libcurl's default store does not hold the test root.
  const int before = server_->requestCount("/small.txt");
  setTransferTrustBundle(nullptr);
  Received untrusted;
  const int result = toMemory("/small.txt", untrusted);
  setTransferTrustBundle(trust_.c_str());
  EXPECT_EQ(result, 1);
  EXPECT_EQ(server_->requestCount("/small.txt"), before);

  // The certificate's other name.
  const std::string byName =
      "https://localhost:" + std::to_string(server_->port()) + "/small.txt";
  Received named;
  EXPECT_EQ(downloadToMemory(byName.c_str(), &named.buffer, 30), 0);
  EXPECT_EQ(named.text(), "small file\n");
}

TEST_F(HttpTransferTest, TimeOutEndsAStalledMemoryDownload) {
  ASSERT_TRUE(server_->control(R"({"rules": {
      "/stall-midway": {"stall": 20, "stall_after": 4, "body": "0123456789"},
      "/stall-silent": {"stall": 20, "body": "0123456789"}}})"));
  Received midway;
  EXPECT_EQ(toMemory("/stall-midway", midway, 1), 1);
  EXPECT_EQ(midway.text(), "0123");
  Received silent;
  EXPECT_EQ(toMemory("/stall-silent", silent, 1), 1);
  EXPECT_EQ(silent.buffer.length, 0u);
}

TEST_F(HttpTransferTest, UnopenablePathMakesNoRequest) {
  const fs::path file = root_ / "no-such-directory" / "package.7z";
  for (std::int32_t offset : {0, 10})
    EXPECT_EQ(downloadToFile(server_->url("/unopenable").c_str(), file.c_str(),
                             offset, nullptr, nullptr),
              1);
  EXPECT_EQ(server_->requestCount("/unopenable"), 0);
  EXPECT_FALSE(fs::exists(file));
}

TEST(AppendToBufferTest, GrowsBehindWhatItHoldsAndRefusesToWrap) {
  char bytes[] = "abcdef";
  Received received;
  EXPECT_EQ(appendToBuffer(bytes, 1, 3, &received.buffer), 3u);
  EXPECT_EQ(appendToBuffer(bytes + 3, 3, 1, &received.buffer), 3u);
  EXPECT_EQ(received.text(), "abcdef");
  // Anything but the count accepted stops the transfer.
  ReceiveBuffer nearlyFull{nullptr, UINT32_MAX - 2};
  EXPECT_NE(appendToBuffer(bytes, 1, 3, &nearlyFull), 3u);
  EXPECT_EQ(nearlyFull.bytes, nullptr);
}

}  // namespace
