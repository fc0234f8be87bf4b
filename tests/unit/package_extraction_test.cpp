#include "install/package_extraction.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "7zCrc.h"

namespace fs = std::filesystem;

namespace {

// 2001-09-09 01:46:40.1234567 UTC: sub-second ticks must survive.
constexpr time_t kStampSeconds = 1000000000;
constexpr long kStampNanos = 123456700;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Start header: StartHeaderCRC at 8 over bytes 12..31, NextHeaderOffset
// (from byte 32) at 12, NextHeaderSize at 20, NextHeaderCRC at 28.
void redoHeaderCrcs(std::string& bytes) {
  CrcGenerateTable();
  std::uint64_t offset = 0, size = 0;
  std::memcpy(&offset, &bytes[12], 8);
  std::memcpy(&size, &bytes[20], 8);
  ASSERT_LE(32 + offset + size, bytes.size());
  std::uint32_t crc = CrcCalc(&bytes[32 + offset], size);
  std::memcpy(&bytes[28], &crc, 4);
  crc = CrcCalc(&bytes[12], 20);
  std::memcpy(&bytes[8], &crc, 4);
}

class ExtractPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/extract-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    archive_ = root_ / "package.7z";
    dest_ = root_ / "out" / "modules";
    fs::create_directory(root_ / "out");
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs a 7zz command on the archive with paths relative to src/.
  void sevenZip(const std::string& verb, const std::string& paths) {
    const std::string command = "cd '" + (root_ / "src").string() +
                                "' && 7zz " + verb + " -bso0 -bsp0 -bse0 '" +
                                archive_.string() + "' " + paths;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  int extract(const fs::path& destination) {
    std::vector<platform::Utf16> wide(1024);
    const std::size_t units =
        platform::narrowToUtf16(destination.c_str(), wide.data(), wide.size());
    EXPECT_GT(units, 0u);
    return extractPackage(archive_.c_str(), wide.data(), units - 1);
  }

  // Every path under out/, relative to it.
  std::set<std::string> outTree() {
    std::set<std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root_ / "out"))
      tree.insert(fs::relative(entry.path(), root_ / "out").string());
    return tree;
  }

  fs::path root_, archive_, dest_;
};

class ExtractPackageTree : public ExtractPackage,
                           public ::testing::WithParamInterface<const char*> {};

// Nested, empty, read-only and stamped entries are unpacked on every
// system in platform_test.cpp; here a large entry, dotted names and
// sub-second times, which std::filesystem reads on Linux only.
TEST_P(ExtractPackageTree, RecreatesFilesAndSubSecondTimes) {
  std::string big;
  for (int i = 0; i < 300000; ++i) big += static_cast<char>('a' + i * 7 % 23);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"big.bin", big}, {"notes..txt", "dots"}, {"z.txt", "last"}};
  for (const auto& [name, bytes] : files)
    writeBytes(root_ / "src" / name, bytes);
  const timespec times[2] = {{0, UTIME_OMIT}, {kStampSeconds, kStampNanos}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root_ / "src/z.txt").c_str(), times, 0), 0);
  sevenZip(std::string("a ") + GetParam(), "big.bin notes..txt z.txt");

  ASSERT_EQ(extract(dest_), 0);
  for (const auto& [name, bytes] : files)
    EXPECT_EQ(readBytes(dest_ / name), bytes) << name;
  EXPECT_EQ(outTree(),
            (std::set<std::string>{"modules", "modules/big.bin",
                                   "modules/notes..txt", "modules/z.txt"}));
  struct stat st;
  ASSERT_EQ(stat((dest_ / "z.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, kStampSeconds);
  EXPECT_EQ(st.st_mtim.tv_nsec, kStampNanos);
}

INSTANTIATE_TEST_SUITE_P(Solidity, ExtractPackageTree,
                         ::testing::Values("-ms=on", "-ms=off"));

TEST_F(ExtractPackage, MakesOneDestinationLevelAndReplacesFiles) {
  writeBytes(root_ / "src/m.dll", "new");
  sevenZip("a", "m.dll");
  EXPECT_EQ(extract(dest_ / "deeper"), 11);
  EXPECT_FALSE(fs::exists(dest_));
  writeBytes(dest_ / "m.dll", "an older and longer file");
  // What a running process has mapped or still holds open keeps its bytes:
  // the file is replaced, not rewritten.
  std::ifstream held(dest_ / "m.dll", std::ios::binary);
  ASSERT_EQ(extract(dest_), 0);
  EXPECT_EQ(readBytes(dest_ / "m.dll"), "new");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}),
            "an older and longer file");

  // A link in the destination is replaced too, never written through.
  writeBytes(root_ / "outside", "keep");
  fs::remove(dest_ / "m.dll");
  fs::create_symlink(root_ / "outside", dest_ / "m.dll");
  ASSERT_EQ(extract(dest_), 0);
  EXPECT_FALSE(fs::is_symlink(dest_ / "m.dll"));
  EXPECT_EQ(readBytes(dest_ / "m.dll"), "new");
  EXPECT_EQ(readBytes(root_ / "outside"), "keep");

  // Without entries not even the destination is made.
  sevenZip("d", "m.dll");
  EXPECT_EQ(extract(root_ / "out/unused"), 0);
  EXPECT_FALSE(fs::exists(root_ / "out/unused"));
}

// All or nothing: damage found part way, and a coder the decoder lacks
// (found before anything is made), leave what was there as it was.
TEST_F(ExtractPackage, FailuresLeaveTheDestinationAsItWas) {
  const std::vector<std::string> contents = {"first file", "second file",
                                             "third file"};
  for (std::size_t i = 0; i < contents.size(); ++i)
    writeBytes(root_ / "src" / (std::to_string(i + 1) + ".bin"), contents[i]);
  sevenZip("a -ms=off -m0=Copy", "1.bin 2.bin 3.bin");
  std::string bytes = readBytes(archive_);
  const std::size_t at = bytes.find(contents[2]);
  ASSERT_NE(at, std::string::npos);
  bytes[at + 2] ^= 0x20;
  writeBytes(archive_, bytes);
  writeBytes(dest_ / "1.bin", "the installed one");
  writeBytes(dest_ / "neighbour.txt", "its neighbour");
  const std::set<std::string> before = outTree();

  EXPECT_EQ(extract(dest_), 3);
  EXPECT_EQ(outTree(), before);
  EXPECT_EQ(readBytes(dest_ / "1.bin"), "the installed one");
  EXPECT_EQ(readBytes(dest_ / "neighbour.txt"), "its neighbour");

  fs::remove(archive_);
  sevenZip("a -m0=BZip2", "1.bin 2.bin");
  EXPECT_EQ(extract(dest_), 4);
  EXPECT_EQ(outTree(), before);
  EXPECT_EQ(extract(root_ / "out/fresh"), 4);
  EXPECT_FALSE(fs::exists(root_ / "out/fresh"));
}

// An archive made on Unix carries each file's permissions, but for others'
// write bits on code the launcher loads; a link entry would be written as
// a file holding its target, and is refused instead.
TEST_F(ExtractPackage, KeepsUnixPermissionsAndRefusesLinks) {
  writeBytes(root_ / "src/helper", "#!/bin/sh\n");
  writeBytes(root_ / "src/data", "data");
  fs::permissions(root_ / "src/helper", fs::perms(0750));
  fs::permissions(root_ / "src/data", fs::perms(0666));
  sevenZip("a", "helper data");
  ASSERT_EQ(extract(dest_), 0);
  EXPECT_EQ(fs::status(dest_ / "helper").permissions(), fs::perms(0750));
  EXPECT_EQ(fs::status(dest_ / "data").permissions(), fs::perms(0644));

  fs::create_symlink("/etc/passwd", root_ / "src/link");
  fs::remove(archive_);
  sevenZip("a -snl", "data link");
  fs::remove_all(root_ / "out");
  fs::create_directory(root_ / "out");
  EXPECT_EQ(extract(dest_), 12);
  EXPECT_EQ(outTree(), std::set<std::string>{});
}

// Machine code for every branch converter: bytes drawn from their opcodes
// and address bytes (x86 E8/E9 with 00/FF, ARM64 BL 94-97, ARM EB, Thumb
// F0/F8, PPC 48-4B, SPARC 40/7F, RISC-V 6F/17), so that each converter
// changes some of them near any offset.
std::string branchyBytes(std::size_t size, unsigned seed) {
  static const unsigned char kAlphabet[] = {
      0x00, 0xFF, 0xE8, 0xE9, 0x0F, 0x80, 0x94, 0x97, 0xEB, 0xF0,
      0xF8, 0x48, 0x4B, 0x01, 0x40, 0x7F, 0x6F, 0x17, 0x10, 0x12};
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(kAlphabet[random() % sizeof kAlphabet]);
  return bytes;
}

// The reader decodes a block 1 MiB at a time; a filter holds back the last
// bytes of each piece until the next arrives, and the block's very last
// bytes stay unconverted, as when the SDK converts a block whole.
constexpr std::size_t kDecoderChunk = std::size_t{1} << 20;

class ExtractPackageFiltered
    : public ExtractPackage,
      public ::testing::WithParamInterface<const char*> {};

// One solid block of files that end just before, at and after the chunk's
// edges, and a last one a few bytes long.
TEST_P(ExtractPackageFiltered, ConvertsAcrossChunkEdges) {
  const std::vector<std::size_t> sizes = {
      kDecoderChunk - 3, 1, 2, 5, kDecoderChunk - 9, 4, kDecoderChunk + 1, 6};
  std::vector<std::string> contents;
  std::string names;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    contents.push_back(branchyBytes(sizes[i], static_cast<unsigned>(i)));
    const std::string name = "f" + std::to_string(i) + ".bin";
    writeBytes(root_ / "src" / name, contents.back());
    names += " " + name;
  }
  sevenZip(std::string("a -ms=on ") + GetParam(), names);

  ASSERT_EQ(extract(dest_), 0);
  for (std::size_t i = 0; i < sizes.size(); ++i)
    EXPECT_TRUE(readBytes(dest_ / ("f" + std::to_string(i) + ".bin")) ==
                contents[i])
        << i;
}

// Branch converters and Delta over Copy (quick to pack), and over the
// decoders: LZMA2 and LZMA under a filter, PPMd alone, and BCJ2 (whose
// four inputs are decoded a piece at a time, in turns).
INSTANTIATE_TEST_SUITE_P(
    Chains, ExtractPackageFiltered,
    ::testing::Values("-m0=Copy -mf=BCJ", "-m0=Copy -mf=ARM64",
                      "-m0=Copy -mf=ARM", "-m0=Copy -mf=ARMT",
                      "-m0=Copy -mf=PPC", "-m0=Copy -mf=IA64",
                      "-m0=Copy -mf=SPARC", "-m0=Copy -mf=RISCV",
                      "-m0=Copy -mf=Delta:4", "-mx1 -mf=BCJ",
                      "-mx1 -m0=LZMA -mf=ARM64", "-mx1 -m0=PPMd",
                      "-mx1 -mf=BCJ2"));

// Damage in a filtered block, in a file's middle or in the block's last
// bytes (which pass unconverted), is found.
TEST_F(ExtractPackage, StopsAtDamagedFilteredData) {
  const std::vector<std::string> contents = {
      branchyBytes(70000, 1), branchyBytes(50000, 2), branchyBytes(3000, 3)};
  for (std::size_t i = 0; i < contents.size(); ++i)
    writeBytes(root_ / "src" / (std::to_string(i + 1) + ".bin"), contents[i]);
  sevenZip("a -ms=on -m0=Copy -mf=BCJ", "1.bin 2.bin 3.bin");
  const std::string packed = readBytes(archive_);
  // Copy stores the converted files one after another from offset 32.
  const std::size_t third = 32 + contents[0].size() + contents[1].size();
  for (const std::size_t at : {32 + contents[0].size() + 1000, third + 2999}) {
    std::string bytes = packed;
    bytes[at] ^= 0x01;
    writeBytes(archive_, bytes);
    fs::remove_all(dest_);
    EXPECT_EQ(extract(dest_), 3) << at;
    EXPECT_EQ(outTree(), std::set<std::string>{"modules"}) << at;
  }
}

// 7zz packing its standard input stores no names at all.
TEST_F(ExtractPackage, RefusesEntriesWithoutNames) {
  const std::string command =
      "echo module | 7zz a -si -bso0 -bsp0 -bse0 '" + archive_.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  EXPECT_EQ(extract(dest_), 12);
  EXPECT_EQ(outTree(), std::set<std::string>{});
}

// A packed header whose size field asks for 2^63 bytes, found by the fuzzer,
// and the same asking for 512 MiB, which a 64-bit process could allocate.
TEST_F(ExtractPackage, RefusesHeaderSizesPastTheDecoderLimit) {
  std::string bytes =
      readBytes(fs::path(TEST_SOURCE_DIR) /
                "../fuzz/corpus/packages/header-asks-for-exabytes.7z");
  const std::string exabytes = "\xff\xff\xff\xff\xff\xff\xff\x0e\x81";
  const std::size_t at = bytes.find(exabytes);
  ASSERT_NE(at, std::string::npos);
  for (const std::string& size :
       {exabytes, std::string("\xff\x00\x00\x00\x20\x00\x00\x00\x00", 9)}) {
    bytes.replace(at, size.size(), size);
    redoHeaderCrcs(bytes);
    writeBytes(archive_, bytes);
    EXPECT_EQ(extract(dest_), 2) << size.size();
    EXPECT_EQ(outTree(), std::set<std::string>{});
  }
}

class ExtractPackageUnsafeName
    : public ExtractPackage,
      public ::testing::WithParamInterface<std::string> {};

// 7zz will not store these names, so a placeholder of the same length is
// packed and renamed in the uncompressed header, whose CRCs are then redone.
TEST_P(ExtractPackageUnsafeName, IsRefusedBeforeWritingIt) {
  const std::string evil = GetParam();
  const std::string placeholder(evil.size(), 'z');
  writeBytes(root_ / "src/good.dll", "good");
  writeBytes(root_ / "src" / placeholder, "evil");
  sevenZip("a -ms=off -mhc=off", "good.dll " + placeholder);

  std::string bytes = readBytes(archive_);
  std::string wideFrom, wideTo;
  for (std::size_t i = 0; i < evil.size(); ++i) {
    wideFrom += {placeholder[i], '\0'};
    wideTo += {evil[i], '\0'};
  }
  const std::size_t at = bytes.rfind(wideFrom);
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, wideTo.size(), wideTo);
  redoHeaderCrcs(bytes);
  writeBytes(archive_, bytes);

  EXPECT_EQ(extract(dest_), 12);
  EXPECT_EQ(outTree(), std::set<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Traversal, ExtractPackageUnsafeName,
                         ::testing::Values("../evil", "/abs", "a/../../x",
                                           "C:x", "a\\b", "a/./b", "a/.../b",
                                           "a/.. /b", "x.dll."));
// Names that Windows would make into a device, a stream or nothing.
INSTANTIATE_TEST_SUITE_P(WindowsNames, ExtractPackageUnsafeName,
                         ::testing::Values("CON", "a/nul.txt", "Com1.dll",
                                           "lpt9", "aux .dll", "conout$",
                                           "x.dll:stream", "a?b", "a|b"));

}  // namespace
