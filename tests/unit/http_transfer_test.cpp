#include "catalogue/http_transfer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "../support/https_server.h"

namespace {

namespace fs = std::filesystem;
using testsupport::HttpsServer;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

fs::path makeTemporaryDirectory(const char* stem) {
  std::string pattern =
      (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
  return mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
}

// Owns what downloadToMemory leaves in a buffer.
struct Received {
  ReceiveBuffer buffer{nullptr, 0};
  ~Received() { std::free(buffer.bytes); }
  std::string text() const {
    return buffer.bytes ? std::string(buffer.bytes, buffer.length) : "";
  }
};

struct ProgressRecord {
  int calls = 0;
  std::int64_t total = 0;
  std::int64_t received = 0;
  int answer = 0;
};

int recordProgress(void* context, std::int64_t total, std::int64_t received,
                   std::int64_t, std::int64_t) {
  auto* record = static_cast<ProgressRecord*>(context);
  ++record->calls;
  record->total = total;
  record->received = received;
  return record->answer;
}

class HttpTransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    initialiseHttpTransfer();
    // Kept by pointer, so it must outlive the suite.
    trust_ = testsupport::identityFile("root.pem");
    setTransferTrustBundle(trust_.c_str());
    root_ = makeTemporaryDirectory("http-root");
    content_ = std::string(300000, '\0');
    for (std::size_t i = 0; i < content_.size(); ++i)
      content_[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    writeFile(root_ / "data.bin", content_);
    writeFile(root_ / "small.txt", "small file\n");
    writeFile(
        root_ / "config.json",
        R"({"rules": {"/gone": {"status": 404, "body": "gone for good\n"}}})");
    server_ = new HttpsServer(root_.string(), (root_ / "config.json").string());
  }

  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    fs::remove_all(root_);
  }

  void SetUp() override {
    ASSERT_NE(server_->port(), 0) << "test server did not start";
    ASSERT_TRUE(server_->control(R"({"clear_log": true})"));
    output_ = makeTemporaryDirectory("http-out");
    ASSERT_FALSE(output_.empty());
  }

  void TearDown() override { fs::remove_all(output_); }

  static std::string url(const std::string& path) { return server_->url(path); }

  static int toFile(const std::string& path, const fs::path& file,
                    std::int32_t offset = 0, ProgressRecord* record = nullptr) {
    return downloadToFile(url(path).c_str(), file.c_str(), offset,
                          record ? &recordProgress : nullptr, record);
  }

  static int toMemory(const std::string& path, Received& received,
                      std::int32_t timeout = 30) {
    return downloadToMemory(url(path).c_str(), &received.buffer, timeout);
  }

  static std::string trust_;
  static fs::path root_;
  static std::string content_;
  static HttpsServer* server_;
  fs::path output_;
};

std::string HttpTransferTest::trust_;
fs::path HttpTransferTest::root_;
std::string HttpTransferTest::content_;
HttpsServer* HttpTransferTest::server_ = nullptr;

TEST_F(HttpTransferTest, FreshDownloadTruncatesAndResumeAppends) {
  const fs::path file = output_ / "package.7z";
  writeFile(file, std::string(content_.size() + 5000, 'x'));
  ASSERT_EQ(toFile("/data.bin", file), 0);
  EXPECT_TRUE(readFile(file) == content_);

  writeFile(file, content_.substr(0, 1000));
  ASSERT_EQ(toFile("/data.bin", file, 1000), 0);
  EXPECT_TRUE(readFile(file) == content_);

  const Json::Value log = server_->log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0]["range"].isNull());
  EXPECT_EQ(log[0]["status"].asInt(), 200);
  EXPECT_EQ(log[1]["range"].asString(), "bytes=1000-");
  EXPECT_EQ(log[1]["status"].asInt(), 206);
}

TEST_F(HttpTransferTest, PartialContentIsAcceptedForFilesOnly) {
  ASSERT_TRUE(server_->control(
      R"({"rules": {"/forced": {"force_206": true, "body": "partial"}}})"));
  const fs::path file = output_ / "forced";
  EXPECT_EQ(toFile("/forced", file), 0);
  EXPECT_EQ(readFile(file), "partial");

  Received partial;
  EXPECT_EQ(toMemory("/forced", partial), 1);
  Received whole;
  EXPECT_EQ(toMemory("/small.txt", whole), 0);
  EXPECT_EQ(whole.text(), "small file\n");
}

TEST_F(HttpTransferTest, NotFoundFailsButKeepsTheErrorBody) {
  const fs::path file = output_ / "gone";
  EXPECT_EQ(toFile("/gone", file), 1);
  EXPECT_EQ(readFile(file), "gone for good\n");

  Received received;
  EXPECT_EQ(toMemory("/gone", received), 1);
  EXPECT_EQ(received.text(), "gone for good\n");
}

TEST_F(HttpTransferTest, UnreachableHostFailsAndLeavesAnEmptyFile) {
  const std::string address =
      "https://127.0.0.1:" + std::to_string(testsupport::closedLoopbackPort()) +
      "/data.bin";
  const fs::path file = output_ / "unreachable";
  writeFile(file, "stale bytes");
  EXPECT_EQ(downloadToFile(address.c_str(), file.c_str(), 0, nullptr, nullptr),
            1);
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);

  Received received;
  EXPECT_EQ(downloadToMemory(address.c_str(), &received.buffer, 5), 1);
  EXPECT_EQ(received.buffer.bytes, nullptr);
  EXPECT_EQ(received.buffer.length, 0u);
}

TEST_F(HttpTransferTest, UnopenablePathMakesNoRequest) {
  const fs::path file = output_ / "no-such-directory" / "package.7z";
  EXPECT_EQ(toFile("/unopenable", file), 1);
  EXPECT_EQ(toFile("/unopenable", file, 10), 1);
  EXPECT_EQ(server_->requestCount("/unopenable"), 0);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(HttpTransferTest, FollowsThreeRedirectsButNotFour) {
  const fs::path file = output_ / "redirected";
  ASSERT_EQ(toFile("/r/3/data.bin", file), 0);
  EXPECT_TRUE(readFile(file) == content_);
  Received three;
  ASSERT_EQ(toMemory("/r/3/small.txt", three), 0);
  EXPECT_EQ(three.text(), "small file\n");

  ASSERT_TRUE(server_->control(R"({"clear_log": true})"));
  EXPECT_EQ(toFile("/r/4/data.bin", file), 1);
  Received four;
  EXPECT_EQ(toMemory("/r/4/small.txt", four), 1);
  EXPECT_EQ(server_->requestCount("/r/1/data.bin"), 1);
  EXPECT_EQ(server_->requestCount("/data.bin"), 0);
  EXPECT_EQ(server_->requestCount("/small.txt"), 0);
}

TEST_F(HttpTransferTest, ProgressCountsThisTransferAndCanAbortIt) {
  const fs::path file = output_ / "progress";
  writeFile(file, content_.substr(0, 1000));
  ProgressRecord record;
  ASSERT_EQ(toFile("/data.bin", file, 1000, &record), 0);
  EXPECT_GT(record.calls, 0);
  const auto rest = static_cast<std::int64_t>(content_.size() - 1000);
  EXPECT_EQ(record.total, rest);
  EXPECT_EQ(record.received, rest);

  ProgressRecord refusing;
  refusing.answer = 1;
  EXPECT_EQ(toFile("/data.bin", file, 0, &refusing), 1);
  EXPECT_GT(refusing.calls, 0);
  EXPECT_LT(fs::file_size(file), content_.size());
}

TEST_F(HttpTransferTest, EmptyBodySucceedsWithNothingReceived) {
  ASSERT_TRUE(server_->control(R"({"rules": {"/empty": {"empty": true}}})"));
  Received received;
  EXPECT_EQ(toMemory("/empty", received), 0);
  EXPECT_EQ(received.buffer.bytes, nullptr);
  EXPECT_EQ(received.buffer.length, 0u);

  const fs::path file = output_ / "empty";
  writeFile(file, "old");
  EXPECT_EQ(toFile("/empty", file), 0);
  EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(HttpTransferTest, MemoryAppendsAfterWhatTheBufferHolds) {
  Received received;
  received.buffer.bytes = static_cast<char*>(std::malloc(3));
  std::memcpy(received.buffer.bytes, "abc", 3);
  received.buffer.length = 3;
  EXPECT_EQ(toMemory("/small.txt", received), 0);
  EXPECT_EQ(received.text(), "abcsmall file\n");
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

TEST_F(HttpTransferTest, DroppedConnectionFails) {
  ASSERT_TRUE(server_->control(R"({"rules": {"/dropped":
      {"drop_after": 1000, "body": ")" +
                               std::string(5000, 'd') + R"("}}})"));
  const fs::path file = output_ / "dropped";
  EXPECT_EQ(toFile("/dropped", file), 1);
  EXPECT_EQ(readFile(file), std::string(1000, 'd'));
  Received received;
  EXPECT_EQ(toMemory("/dropped", received), 1);
}

TEST_F(HttpTransferTest, PeersAreVerified) {
  // libcurl's default store does not hold the test root.
  setTransferTrustBundle(nullptr);
  Received untrusted;
  const int result = toMemory("/small.txt", untrusted);
  setTransferTrustBundle(trust_.c_str());
  EXPECT_EQ(result, 1);
  EXPECT_EQ(server_->requestCount("/small.txt"), 0);

  const std::string byName =
      "https://localhost:" + std::to_string(server_->port()) + "/small.txt";
  Received named;
  EXPECT_EQ(downloadToMemory(byName.c_str(), &named.buffer, 30), 0);
}

TEST(AppendToBufferTest, NullBufferAcceptsAndDrops) {
  char bytes[12] = {};
  EXPECT_EQ(appendToBuffer(bytes, 3, 4, nullptr), 12u);
}

}  // namespace
