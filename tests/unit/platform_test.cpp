// The platform layer through its own interface, in cases that hold on every
// system: the Windows build runs this file under wine.
#include "platform/platform.h"

#include <civetweb.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "install/package_extraction.h"

namespace fs = std::filesystem;

namespace {

using platform::Utf16;

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;
// The modification time tests/CMakeLists.txt gives the packed stamped.txt.
constexpr std::int64_t kPackedStampSeconds = 1000000000;

std::string inDirectory(const char* directory, const std::string& name) {
  return (fs::path(directory) / name).make_preferred().string();
}

std::string libraryPath(const std::string& name) {
  return inDirectory(TEST_MODULE_DIR, name + platform::kLibraryExtension);
}

std::string packagePath() {
  return inDirectory(TEST_ARCHIVE_DIR, "package.7z");
}

// The path as the unpacking calls take it, converted by the standard
// library rather than by the code under test.
std::vector<Utf16> utf16(const fs::path& path) {
  const std::u16string text = path.u16string();
  std::vector<Utf16> units(text.begin(), text.end());
  units.push_back(0);
  return units;
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Seconds since 1970 of a file's modification time. The file clock's epoch
// is the library's own; its distance from the system clock's is a whole
// number of minutes. Whole seconds only: mingw's library reads no more.
std::int64_t modifiedSeconds(const fs::path& path) {
  using namespace std::chrono;
  const auto offset =
      round<minutes>(fs::file_time_type::clock::now().time_since_epoch() -
                     system_clock::now().time_since_epoch());
  return floor<seconds>(fs::last_write_time(path).time_since_epoch() - offset)
      .count();
}

bool readOnly(const fs::path& path) {
  return (fs::status(path).permissions() & fs::perms::owner_write) ==
         fs::perms::none;
}

TEST(NarrowToUtf16, WritesTheTerminatorAndCountsIt) {
  Utf16 out[8];
  std::fill(std::begin(out), std::end(out), Utf16{0xFFFF});
  ASSERT_EQ(platform::narrowToUtf16("a/b", out, 8), 4u);
  EXPECT_EQ(out[0], u'a');
  EXPECT_EQ(out[1], u'/');
  EXPECT_EQ(out[2], u'b');
  EXPECT_EQ(out[3], 0);
  EXPECT_EQ(platform::narrowToUtf16("", out, 1), 1u);
  EXPECT_EQ(out[0], 0);
}

TEST(NarrowToUtf16, ReadsUtf8WhateverTheSystemCodePage) {
  Utf16 out[8];
  // Cyrillic, CJK and a character beyond the BMP: no ANSI code page has
  // them all.
  ASSERT_EQ(platform::narrowToUtf16(u8"П张𝄞", out, 8), 5u);
  EXPECT_EQ(std::vector<Utf16>(out, out + 5),
            (std::vector<Utf16>{0x041F, 0x5F20, 0xD834, 0xDD1E, 0}));
  // A pair needs both units.
  EXPECT_EQ(platform::narrowToUtf16(u8"𝄞", out, 2), 0u);
  // Malformed text names no file: a lone continuation byte, a cut sequence.
  EXPECT_EQ(platform::narrowToUtf16("a\x80", out, 8), 0u);
  EXPECT_EQ(platform::narrowToUtf16("a\xE5\xBC", out, 8), 0u);
}

TEST(NarrowToUtf16, NeedsRoomForTheTerminator) {
  Utf16 out[4];
  EXPECT_EQ(platform::narrowToUtf16("abc", out, 4), 4u);
  EXPECT_EQ(platform::narrowToUtf16("abc", out, 3), 0u);
  EXPECT_EQ(platform::narrowToUtf16("abc", out, 1), 0u);
  EXPECT_EQ(platform::narrowToUtf16("abc", out, 0), 0u);
}

TEST(PlatformLibraries, VersionStampsAreReadWithoutLoading) {
  std::uint16_t parts[4] = {};
  ASSERT_TRUE(platform::fileVersion(libraryPath("echo").c_str(), parts));
  EXPECT_EQ(std::vector<int>(parts, parts + 4), (std::vector<int>{1, 2, 3, 4}));
  ASSERT_TRUE(platform::fileVersion(libraryPath("twoone").c_str(), parts));
  EXPECT_EQ(std::vector<int>(parts, parts + 4), (std::vector<int>{2, 0, 1, 7}));
  EXPECT_FALSE(platform::fileVersion(libraryPath("nostamp").c_str(), parts));
  EXPECT_FALSE(platform::fileVersion(packagePath().c_str(), parts));
  EXPECT_FALSE(platform::fileVersion(libraryPath("absent").c_str(), parts));
}

TEST(PlatformLibraries, ExportsAreFoundByName) {
  platform::LibraryHandle echo =
      platform::loadLibrary(libraryPath("echo").c_str());
  ASSERT_NE(echo, nullptr);
  EXPECT_NE(platform::findLibraryExport(echo, "registerHandler"), nullptr);
  EXPECT_EQ(platform::findLibraryExport(echo, "noSuchExport"), nullptr);
  platform::unloadLibrary(echo);

  platform::LibraryHandle noexport =
      platform::loadLibrary(libraryPath("noexport").c_str());
  ASSERT_NE(noexport, nullptr);
  EXPECT_EQ(platform::findLibraryExport(noexport, "registerHandler"), nullptr);
  void* other = platform::findLibraryExport(noexport, "notRegisterHandler");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(reinterpret_cast<int (*)()>(other)(), 42);
  platform::unloadLibrary(noexport);

  EXPECT_EQ(platform::loadLibrary(libraryPath("absent").c_str()), nullptr);
  EXPECT_EQ(platform::findLibraryExport(nullptr, "registerHandler"), nullptr);
}

TEST(PlatformFileSystem, PathsAndTheTemporaryDirectory) {
  EXPECT_TRUE(platform::pathExists(libraryPath("echo").c_str()));
  EXPECT_TRUE(platform::pathExists(inDirectory(TEST_MODULE_DIR, "").c_str()));
  EXPECT_FALSE(platform::pathExists(libraryPath("absent").c_str()));

  char buffer[1024];
  const std::size_t length =
      platform::temporaryDirectory(buffer, sizeof buffer);
  ASSERT_GT(length, 1u);
  EXPECT_EQ(std::strlen(buffer), length);
  EXPECT_EQ(buffer[length - 1], platform::kPathSeparator);
  EXPECT_TRUE(fs::is_directory(fs::u8path(buffer)));
  // The terminator must fit too.
  EXPECT_EQ(platform::temporaryDirectory(buffer, length + 1), length);
  EXPECT_EQ(platform::temporaryDirectory(buffer, length), 0u);
  EXPECT_EQ(platform::temporaryDirectory(buffer, 0), 0u);
}

namespace {

// What the platform says about a loopback connection's peer, asked from
// the server's end as the bridge asks: CivetWeb's record gives the ends.
struct PeerAnswers {
  bool own = false;
  bool foreign = true;
  bool absent = true;
};

int answerAboutPeer(mg_connection* connection, void* data) {
  auto* answers = static_cast<PeerAnswers*>(data);
  const mg_request_info* request = mg_get_request_info(connection);
  constexpr std::uint32_t kLoopback = 0x7F000001;
  const platform::TcpEnd local{
      kLoopback, static_cast<std::uint16_t>(request->server_port)};
  const platform::TcpEnd remote{
      kLoopback, static_cast<std::uint16_t>(request->remote_port)};
  platform::UserId own{};
  if (platform::currentUser(own) && own.size > 0) {
    // Another account: a uid or a SID's last part changed.
    platform::UserId foreign = own;
    foreign.bytes[foreign.size - 1] ^= 0x01;
    answers->own = platform::connectionPeerIsUser(local, remote, own);
    answers->foreign = platform::connectionPeerIsUser(local, remote, foreign);
    answers->absent = platform::connectionPeerIsUser(
        local, platform::TcpEnd{kLoopback, 0}, own);
  }
  mg_printf(connection,
            "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n"
            "Connection: close\r\n\r\n");
  return 204;
}

}  // namespace

TEST(PlatformConnections, APeerIsOwnedByThisUserAndNoOther) {
  mg_init_library(0);
  const char* options[] = {"listening_ports", "127.0.0.1:0", "num_threads", "1",
                           nullptr};
  mg_context* server = mg_start(nullptr, nullptr, options);
  ASSERT_NE(server, nullptr);
  PeerAnswers answers;
  mg_set_request_handler(server, "/", answerAboutPeer, &answers);
  mg_server_port port{};
  ASSERT_EQ(mg_get_server_ports(server, 1, &port), 1);

  char error[256] = "";
  mg_connection* client =
      mg_connect_client("127.0.0.1", port.port, 0, error, sizeof error);
  ASSERT_NE(client, nullptr) << error;
  mg_printf(client, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_GE(mg_get_response(client, error, sizeof error, 20000), 0) << error;
  mg_close_connection(client);
  mg_stop(server);
  mg_exit_library();

  EXPECT_TRUE(answers.own);
  EXPECT_FALSE(answers.foreign);
  EXPECT_FALSE(answers.absent);
}

class PlatformFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    root_ = fs::temp_directory_path() /
            ("platform-test-" + std::to_string(random()) + "-" +
             std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(root_));
  }

  void TearDown() override {
    // Windows refuses to delete read-only files.
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(root_, ignored))
      fs::permissions(entry.path(), fs::perms::owner_write,
                      fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }

  // Writes a file through the platform calls, in two pieces.
  void create(const fs::path& path, const std::string& bytes,
              const std::uint64_t* modification = nullptr) {
    const platform::FileHandle file =
        platform::createOutputFile(utf16(path).data());
    ASSERT_NE(file, platform::kNoFile) << path;
    const std::size_t half = bytes.size() / 2;
    EXPECT_TRUE(platform::writeFile(file, bytes.data(), half));
    EXPECT_TRUE(
        platform::writeFile(file, bytes.data() + half, bytes.size() - half));
    if (modification != nullptr) {
      EXPECT_TRUE(platform::setFileTimes(file, modification, modification));
    }
    EXPECT_TRUE(platform::closeFile(file));
  }

  int extract(const char* archive, const fs::path& destination) {
    const std::vector<Utf16> wide = utf16(destination);
    return extractPackage(archive, wide.data(), wide.size() - 1);
  }

  // Every path under root_, relative to it, with / separators.
  std::set<std::string> tree() {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root_))
      paths.insert(fs::relative(entry.path(), root_).generic_string());
    return paths;
  }

  fs::path root_;
};

TEST_F(PlatformFiles, NewFilesGetTheirBytesAndModificationTime) {
  // 2033-05-18 03:33:20 UTC: more than 32 bits of ticks either way.
  const std::int64_t seconds = 2000000000;
  const std::uint64_t ticks =
      kUnixEpochTicks + static_cast<std::uint64_t>(seconds) * kTicksPerSecond;
  create(root_ / "stamped.bin", std::string("one\0two", 7), &ticks);
  create(root_ / "plain.txt", "plain");
  create(root_ / "empty.txt", "");

  EXPECT_EQ(readBytes(root_ / "stamped.bin"), std::string("one\0two", 7));
  EXPECT_EQ(modifiedSeconds(root_ / "stamped.bin"), seconds);
  EXPECT_EQ(readBytes(root_ / "plain.txt"), "plain");
  EXPECT_NE(modifiedSeconds(root_ / "plain.txt"), seconds);
  EXPECT_TRUE(fs::is_regular_file(root_ / "empty.txt"));
  EXPECT_EQ(fs::file_size(root_ / "empty.txt"), 0u);
}

TEST_F(PlatformFiles, ExistingFilesAreReplacedEvenWhenReadOnly) {
  const fs::path path = root_ / "module.bin";
  std::ofstream(path, std::ios::binary) << "an older and longer file";
  create(path, "new");
  EXPECT_EQ(readBytes(path), "new");

  // What an earlier package left read-only must not block an update.
  ASSERT_TRUE(platform::setFileAttributes(utf16(path).data(), 0x1));
  EXPECT_TRUE(readOnly(path));
  create(path, "update");
  EXPECT_EQ(readBytes(path), "update");
}

TEST_F(PlatformFiles, PackagesUnpackNestedEmptyStampedAndReadOnlyEntries) {
  const fs::path modules = root_ / "modules";
  ASSERT_EQ(extract(packagePath().c_str(), modules), 0);
  // The package holds no entries for a and a/b.
  EXPECT_EQ(tree(),
            (std::set<std::string>{"modules", "modules/a", "modules/a/b",
                                   "modules/a/b/c.txt", "modules/empty.txt",
                                   "modules/hollow", "modules/readonly.txt",
                                   "modules/stamped.txt"}));
  EXPECT_EQ(readBytes(modules / "a" / "b" / "c.txt"), "three levels down\n");
  EXPECT_TRUE(fs::is_regular_file(modules / "empty.txt"));
  EXPECT_EQ(fs::file_size(modules / "empty.txt"), 0u);
  EXPECT_TRUE(fs::is_directory(modules / "hollow"));
  EXPECT_EQ(readBytes(modules / "stamped.txt"), "stamped\n");
  EXPECT_EQ(modifiedSeconds(modules / "stamped.txt"), kPackedStampSeconds);
  EXPECT_TRUE(readOnly(modules / "readonly.txt"));
  EXPECT_FALSE(readOnly(modules / "stamped.txt"));

  // The same package again, as an update over a changed read-only file.
  const fs::path leftover = modules / "readonly.txt";
  fs::permissions(leftover, fs::perms::owner_write, fs::perm_options::add);
  std::ofstream(leftover, std::ios::binary) << "stale";
  fs::permissions(leftover, fs::perms::owner_write, fs::perm_options::remove);
  ASSERT_TRUE(readOnly(leftover));
  ASSERT_EQ(extract(packagePath().c_str(), modules), 0);
  EXPECT_EQ(readBytes(modules / "readonly.txt"), "kept read-only\n");
  EXPECT_TRUE(readOnly(modules / "readonly.txt"));
}

// A folder named as a user beyond the ANSI code page may be: every call
// that takes a path finds what is there.
TEST_F(PlatformFiles, PathsMayHoldAnyCharacter) {
  const fs::path folder = root_ / fs::u8path(u8"Пётр张伟𝄞");
  ASSERT_TRUE(fs::create_directory(folder));
  const std::string base = folder.u8string() + platform::kPathSeparator;
  const std::string package = base + "package.7z";
  const std::string library = base + "echo" + platform::kLibraryExtension;
  fs::copy_file(libraryPath("echo"), fs::u8path(library));

  std::FILE* file = platform::openFile(package.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  const std::string bytes = readBytes(packagePath());
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  EXPECT_EQ(std::fclose(file), 0);
  EXPECT_TRUE(platform::pathExists(package.c_str()));
  ASSERT_EQ(extract(package.c_str(), folder / "modules"), 0);
  EXPECT_EQ(readBytes(folder / "modules" / "a" / "b" / "c.txt"),
            "three levels down\n");

  std::uint16_t parts[4] = {};
  EXPECT_TRUE(platform::fileVersion(library.c_str(), parts));
  EXPECT_EQ(parts[3], 4);
  platform::LibraryHandle echo = platform::loadLibrary(library.c_str());
  EXPECT_NE(platform::findLibraryExport(echo, "registerHandler"), nullptr);
  platform::unloadLibrary(echo);

  EXPECT_TRUE(platform::deleteFile(package.c_str()));
  EXPECT_FALSE(platform::pathExists(package.c_str()));
  EXPECT_EQ(platform::openFile(package.c_str(), "rb"), nullptr);
}

TEST_F(PlatformFiles, UnreadableArchivesLeaveNoTrace) {
  const fs::path archive = root_ / "package.7z";
  // The system's code for a missing file, 2 on both systems.
  EXPECT_EQ(extract(archive.u8string().c_str(), root_ / "modules"), 2);
  std::ofstream(archive, std::ios::binary)
      << "this is not an archive, only some text\n";
  EXPECT_EQ(extract(archive.u8string().c_str(), root_ / "modules"), 17);
  EXPECT_EQ(tree(), std::set<std::string>{"package.7z"});
}

}  // namespace
