// Module library files (versions, paths, loading) below what the process
// shows: LOAD's codes and registration outcomes are tested end to end.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "modules/handler_registry.h"
#include "modules/launcher_module.h"
#include "modules/module_libraries.h"
#include "test_catalogue.h"

namespace {

namespace fs = std::filesystem;

// The public header from C++: an external layout of four slots in order.
static_assert(sizeof(ModuleHandler) == 4 * sizeof(void*), "four slots");
static_assert(offsetof(ModuleHandler, pollMessages) == sizeof(void*), "slot 2");
static_assert(offsetof(ModuleHandler, releaseReply) == 2 * sizeof(void*),
              "slot 3");
static_assert(offsetof(ModuleHandler, releaseMessages) == 3 * sizeof(void*),
              "slot 4");
static_assert(sizeof(LauncherVersionNote) == 28, "note header, owner, parts");

std::string modulePath(const std::string& name) {
  return testModulesDirectory() + "/" + name + ".so";
}

// Whether the dynamic loader still has the library mapped.
bool libraryMapped(const std::string& name) {
  void* handle = dlopen(modulePath(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

class ModuleHostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ensureTestCatalogue()); }
};

TEST_F(ModuleHostTest, FilesWithoutAReadableStampHaveTheEmptyVersion) {
  EXPECT_EQ(fileVersionText(modulePath("echo").c_str()), "1.2.3");
  const fs::path scratch =
      fs::temp_directory_path() / ("launcher-unit-" + std::to_string(getpid()));
  for (const char* path : {"", "/no/such/file.so", "/tmp"})
    EXPECT_EQ(fileVersionText(path), "") << path;
  EXPECT_EQ(fileVersionText(nullptr), "");
  EXPECT_EQ(fileVersionText(modulePath("nostamp").c_str()), "");
  std::ofstream(scratch) << "not a library\n";
  EXPECT_EQ(fileVersionText(scratch.c_str()), "");
  // A cut-off library: the header promises what the file does not hold.
  std::ifstream in(modulePath("echo"), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  for (std::size_t size : {4, 64, 200}) {
    std::ofstream(scratch, std::ios::binary | std::ios::trunc)
        << bytes.substr(0, size);
    EXPECT_EQ(fileVersionText(scratch.c_str()), "") << size;
  }
  // Without its section table (offset and count zeroed) the stamp is still
  // found through the note segments.
  std::string stripped = bytes;
  std::fill_n(stripped.begin() + 0x28, 8, '\0');
  std::fill_n(stripped.begin() + 0x3C, 2, '\0');
  std::ofstream(scratch, std::ios::binary | std::ios::trunc) << stripped;
  EXPECT_EQ(fileVersionText(scratch.c_str()), "1.2.3");
  fs::remove(scratch);
}

// A second line of defence behind the catalogue's own refusal.
TEST_F(ModuleHostTest, NamesThatAreNotPlainFileNamesHaveNoPath) {
  EXPECT_EQ(moduleLibraryPath("a b.c"), testModulesDirectory() + "/a b.c.so");
  // Near misses of Windows device names are ordinary names.
  for (const char* name : {"COM10", "console", "nullable", "LPT", "con-x"})
    EXPECT_NE(moduleLibraryPath(name), "") << name;
  for (const std::string& name :
       {std::string(),          std::string("."),
        std::string(".."),      std::string("a/b"),
        std::string("a\\b"),    std::string("c:x"),
        std::string("a\x01z"),  std::string("tab\there"),
        std::string("del\x7f"), std::string("/abs"),
        std::string("..\\up"),  std::string("CON"),
        std::string("nul.txt"), std::string("Com1"),
        std::string("lpt\xB9"), std::string("aux .x"),
        std::string("abc."),    std::string("abc "),
        std::string("a?b"),     std::string("a*b"),
        std::string("a|b"),     std::string("a<b")}) {
    EXPECT_EQ(moduleLibraryPath(name), "") << '"' << name << '"';
    EXPECT_EQ(checkInstalledModule(name), 2) << '"' << name << '"';
  }
}

TEST_F(ModuleHostTest, PathIsNeverFormedPast1023Characters) {
  const std::size_t fixed = testModulesDirectory().size() + 1 + 3;  // "/" ".so"
  ASSERT_LT(fixed, 1000u);
  const std::string tooLong(1024 - fixed, 'n');
  EXPECT_EQ(moduleLibraryPath(std::string(1023 - fixed, 'n')).size(), 1023u);
  EXPECT_EQ(moduleLibraryPath(tooLong), "");
  EXPECT_EQ(moduleLibraryPath(std::string(5000, 'n')), "");
  EXPECT_EQ(checkInstalledModule(tooLong), 2);
  EXPECT_EQ(registerModule(tooLong), 1);
}

TEST_F(ModuleHostTest, RegisterHandlerIsCalledOnce) {
  ASSERT_EQ(registerModule("nostamp"), 0);
  ASSERT_EQ(registerModule("nostamp"), 0);
  const ModuleHandler* table = findHandler("nostamp");
  ASSERT_NE(table, nullptr);
  char* reply = table->handleRequest(nullptr, "null");
  EXPECT_STREQ(reply, "1");  // nostamp's count of registerHandler calls
  table->releaseReply(reply);
}

// nulltable never registers, so nothing else keeps it loaded.
TEST_F(ModuleHostTest, UnloadForgetsTheHandleSoTheNextLoadIsFresh) {
  ASSERT_FALSE(libraryMapped("nulltable"));
  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  EXPECT_NE(findModuleExport("nulltable", "registerHandler"), nullptr);
  EXPECT_EQ(findModuleExport("nulltable", "noSuchExport"), nullptr);
  ASSERT_TRUE(unloadModuleLibrary("nulltable"));
  EXPECT_FALSE(libraryMapped("nulltable"));
  EXPECT_EQ(findModuleExport("nulltable", "registerHandler"), nullptr);
  EXPECT_FALSE(unloadModuleLibrary("nulltable"));

  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  void* current =
      dlopen(modulePath("nulltable").c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(findModuleExport("nulltable", "registerHandler"),
            dlsym(current, "registerHandler"));
  dlclose(current);
  ASSERT_TRUE(unloadModuleLibrary("nulltable"));
  EXPECT_FALSE(libraryMapped("nulltable"));
}

TEST_F(ModuleHostTest, LoadingARecordedNameAgainKeepsOneReference) {
  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  ASSERT_TRUE(unloadModuleLibrary("nulltable"));
  EXPECT_FALSE(libraryMapped("nulltable"));
  EXPECT_FALSE(unloadModuleLibrary("nulltable"));
  // A failed load records nothing.
  EXPECT_FALSE(loadModuleLibrary("absent"));
  EXPECT_FALSE(unloadModuleLibrary("absent"));
}

}  // namespace
