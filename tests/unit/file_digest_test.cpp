#include "install/file_digest.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_catalogue.h"

namespace {

namespace fs = std::filesystem;

std::string hexText(const unsigned char* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

// The reference digest, from the system's own tool.
std::string sha512sum(const fs::path& path) {
  const std::string command = "sha512sum '" + path.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  pclose(pipe);
  return read ? std::string(line, 128) : "";
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
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

  fs::path directory_;
};

TEST_F(FileDigestTest, AgreesWithSha512sumAroundBlockBoundaries) {
  for (std::size_t size : {0, 1, 4095, 4096, 4097, 8192, 12289}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
      bytes[i] = static_cast<char>((i * 131 + i / 4096) & 0xff);
    const fs::path path = directory_ / ("f" + std::to_string(size));
    writeFile(path, bytes);
    const std::string expected = sha512sum(path);
    ASSERT_EQ(expected.size(), 128u);

    unsigned char digest[64] = {};
    ASSERT_EQ(fileSha512(path.c_str(), digest), 0);
    EXPECT_EQ(hexText(digest, sizeof digest), expected);
    EXPECT_TRUE(fileMatchesDigest(path.c_str(), expected.c_str()));
  }
}

TEST_F(FileDigestTest, ComparesTheFirst128CharactersExactly) {
  const fs::path path = directory_ / "module.bin";
  writeFile(path, "some module bytes");
  const std::string digest = sha512sum(path);
  ASSERT_EQ(digest.size(), 128u);

  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  std::string lastWrong = digest;
  lastWrong[127] = lastWrong[127] == '0' ? '1' : '0';
  std::string firstWrong = digest;
  firstWrong[0] = firstWrong[0] == '0' ? '1' : '0';

  EXPECT_TRUE(fileMatchesDigest(path.c_str(), (digest + "\n").c_str()));
  EXPECT_TRUE(fileMatchesDigest(path.c_str(), (digest + "zz").c_str()));
  EXPECT_FALSE(fileMatchesDigest(path.c_str(), upper.c_str()));
  EXPECT_FALSE(fileMatchesDigest(path.c_str(), digest.substr(0, 127).c_str()));
  EXPECT_FALSE(fileMatchesDigest(path.c_str(), lastWrong.c_str()));
  EXPECT_FALSE(fileMatchesDigest(path.c_str(), firstWrong.c_str()));
  EXPECT_FALSE(fileMatchesDigest(path.c_str(), ""));
}

TEST_F(FileDigestTest, UnreadableFilesNeverMatch) {
  const fs::path empty = directory_ / "empty";
  writeFile(empty, "");
  const std::string emptyDigest = sha512sum(empty);
  unsigned char digest[64] = {};

  const fs::path missing = directory_ / "missing";
  EXPECT_EQ(fileSha512(missing.c_str(), digest), 1);
  EXPECT_FALSE(fileMatchesDigest(missing.c_str(), emptyDigest.c_str()));

  // A directory opens but cannot be read: the read loop must still end.
  EXPECT_EQ(fileSha512(directory_.c_str(), digest), 1);
  EXPECT_FALSE(fileMatchesDigest(directory_.c_str(), emptyDigest.c_str()));
}

TEST_F(FileDigestTest, LibraryIsComparedWithTheCataloguesSha512d) {
  ASSERT_TRUE(ensureTestCatalogue());
  const fs::path library = directory_ / "digestmod.so";
  writeFile(library, kDigestmodLibraryContent);
  const fs::path other = directory_ / "other.so";
  writeFile(other, kDigestmodPackageContent);

  EXPECT_TRUE(libraryMatchesCatalogue(library.c_str(), "digestmod"));
  EXPECT_FALSE(libraryMatchesCatalogue(other.c_str(), "digestmod"));
  EXPECT_FALSE(libraryMatchesCatalogue((directory_ / "missing.so").c_str(),
                                       "digestmod"));
  // Same bytes, but the entry is upper case, lacks sha512d, is stale or
  // not there at all.
  for (const char* name :
       {"upperdigest", "nodigest", "stalelatest", "ghost", "Digestmod"})
    EXPECT_FALSE(libraryMatchesCatalogue(library.c_str(), name)) << name;
}

}  // namespace
