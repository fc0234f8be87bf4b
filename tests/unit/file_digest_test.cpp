// File digests against the system's sha512sum.
#include "install/file_digest.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string sha512sum(const fs::path& path) {
  FILE* pipe = popen(("sha512sum '" + path.string() + "'").c_str(), "r");
  if (!pipe) return "";
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  return read ? std::string(line, 128) : "";
}

class FileDigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "digest-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { fs::remove_all(directory_); }

  fs::path write(const std::string& name, const std::string& bytes) {
    std::ofstream(directory_ / name, std::ios::binary) << bytes;
    return directory_ / name;
  }

  fs::path directory_;
};

TEST_F(FileDigestTest, AgreesWithSha512sumAroundBlockBoundaries) {
  static const char digits[] = "0123456789abcdef";
  for (std::size_t size : {0, 1, 4095, 4096, 4097, 8192, 12289}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
      bytes[i] = static_cast<char>((i * 131 + i / 4096) & 0xff);
    const fs::path path = write("f" + std::to_string(size), bytes);
    const std::string expected = sha512sum(path);
    ASSERT_EQ(expected.size(), 128u);

    unsigned char digest[64] = {};
    ASSERT_EQ(fileSha512(path.c_str(), digest), 0);
    std::string text;
    for (unsigned char byte : digest)
      text += {digits[byte >> 4], digits[byte & 15]};
    EXPECT_EQ(text, expected);
    EXPECT_TRUE(fileMatchesDigest(path.c_str(), expected.c_str()));
  }
}

TEST_F(FileDigestTest, ComparesTheFirst128CharactersExactly) {
  const fs::path path = write("module.bin", "some module bytes");
  const std::string digest = sha512sum(path);
  ASSERT_EQ(digest.size(), 128u);
  std::string upper = digest, lastWrong = digest, firstWrong = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  lastWrong[127] = lastWrong[127] == '0' ? '1' : '0';
  firstWrong[0] = firstWrong[0] == '0' ? '1' : '0';

  EXPECT_TRUE(fileMatchesDigest(path.c_str(), (digest + "\n").c_str()));
  EXPECT_TRUE(fileMatchesDigest(path.c_str(), (digest + "zz").c_str()));
  for (const std::string& wrong :
       {upper, digest.substr(0, 127), lastWrong, firstWrong, std::string()})
    EXPECT_FALSE(fileMatchesDigest(path.c_str(), wrong.c_str())) << wrong;
}

TEST_F(FileDigestTest, UnreadableFilesNeverMatch) {
  const std::string emptyDigest = sha512sum(write("empty", ""));
  unsigned char digest[64] = {};
  // A directory opens but cannot be read: the read loop must still end.
  for (const fs::path& path : {directory_ / "missing", directory_}) {
    EXPECT_EQ(fileSha512(path.c_str(), digest), 1) << path;
    EXPECT_FALSE(fileMatchesDigest(path.c_str(), emptyDigest.c_str())) << path;
  }
}

}  // namespace
