// Module libraries (paths, versions, the installed check, loading) and the
// handler registry, with the test module libraries of tests/modules.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/message_routing.h"
#include "catalogue/module_catalogue.h"
#include "modules/handler_registry.h"
#include "modules/launcher_module.h"
#include "modules/module_libraries.h"
#include "test_catalogue.h"
#include "test_frames.h"

namespace {

namespace fs = std::filesystem;

// The public header from C++: the table is four pointer-wide slots in order.
static_assert(sizeof(ModuleHandler) == 4 * sizeof(void*),
              "ModuleHandler is four pointers");
static_assert(offsetof(ModuleHandler, handleRequest) == 0, "slot 1");
static_assert(offsetof(ModuleHandler, pollMessages) == sizeof(void*), "slot 2");
static_assert(offsetof(ModuleHandler, releaseReply) == 2 * sizeof(void*),
              "slot 3");
static_assert(offsetof(ModuleHandler, releaseMessages) == 3 * sizeof(void*),
              "slot 4");
static_assert(sizeof(LauncherVersionNote) == 28, "note header, owner, parts");

char* LAUNCHER_CALL cxxHandleRequest(LauncherConnection, const char*) {
  return nullptr;
}

TEST(LauncherModuleHeaderTest, UsableFromCxx) {
  const ModuleHandler table = {cxxHandleRequest, nullptr, nullptr, nullptr};
  RegisterHandlerFunction function = nullptr;
  EXPECT_EQ(table.handleRequest(nullptr, "null"), nullptr);
  EXPECT_EQ(function, nullptr);
  EXPECT_STREQ(LAUNCHER_VERSION_NOTE_OWNER, "MODVER");
}

std::string builtModule(const char* name) {
  return std::string(TEST_MODULE_DIR) + "/" + name + ".so";
}

std::string installedModule(const std::string& name) {
  return testModulesDirectory() + "/" + name + ".so";
}

// Whether the dynamic loader still has the library mapped.
bool libraryMapped(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

class ModuleHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installFrameRecorder();
    ASSERT_TRUE(ensureTestCatalogue());
    ASSERT_STREQ(recordedModulesDirectory(), testModulesDirectory().c_str());
  }
};

// ---- Versions -------------------------------------------------------------

TEST_F(ModuleHostTest, VersionTextIsTheFirstThreeParts) {
  EXPECT_EQ(fileVersionText(builtModule("echo").c_str()), "1.2.3");
  EXPECT_EQ(fileVersionText(builtModule("twoone").c_str()), "2.0.1");
  EXPECT_EQ(fileVersionText(builtModule("nostamp").c_str()), "");
  // The copies are the same files.
  EXPECT_EQ(fileVersionText(installedModule("echo").c_str()), "1.2.3");
}

TEST_F(ModuleHostTest, FilesWithoutAStampHaveTheEmptyVersion) {
  EXPECT_EQ(fileVersionText(installedModule(kNotLibraryModule).c_str()), "");
  EXPECT_EQ(fileVersionText(installedModule("missing").c_str()), "");
  EXPECT_EQ(fileVersionText(testModulesDirectory().c_str()), "");
  EXPECT_EQ(fileVersionText(""), "");
  EXPECT_EQ(fileVersionText(nullptr), "");

  // A cut-off library: the header promises what the file does not hold.
  std::ifstream in(builtModule("echo"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 200u);
  const fs::path cut = fs::path(testModulesDirectory()) / "cut.bin";
  for (std::size_t size : {std::size_t{4}, std::size_t{64}, std::size_t{200}}) {
    std::ofstream(cut, std::ios::binary | std::ios::trunc)
        << bytes.substr(0, size);
    EXPECT_EQ(fileVersionText(cut.c_str()), "") << size;
  }
  fs::remove(cut);
}

// ---- Paths ----------------------------------------------------------------

TEST_F(ModuleHostTest, LibraryPathIsDirectorySeparatorNameExtension) {
  EXPECT_EQ(moduleLibraryPath("echo"), testModulesDirectory() + "/echo.so");
  EXPECT_EQ(moduleLibraryPath("Beta"), testModulesDirectory() + "/Beta.so");
  EXPECT_EQ(moduleLibraryPath("a b.c"), testModulesDirectory() + "/a b.c.so");
}

TEST_F(ModuleHostTest, NamesThatAreNotPlainFileNamesHaveNoPath) {
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"),
        std::string("a\\b"), std::string("c:x"), std::string("a\x01z"),
        std::string("tab\there"), std::string("del\x7f"), std::string("/abs"),
        std::string("..\\up")})
    EXPECT_EQ(moduleLibraryPath(name), "") << '"' << name << '"';
}

TEST_F(ModuleHostTest, PathIsNeverFormedPast1023Characters) {
  const std::size_t fixed = testModulesDirectory().size() + 1 + 3;  // "/" ".so"
  ASSERT_LT(fixed, 1000u);
  const std::string fits(1023 - fixed, 'n');
  const std::string tooLong(1024 - fixed, 'n');
  EXPECT_EQ(moduleLibraryPath(fits).size(), 1023u);
  EXPECT_EQ(moduleLibraryPath(tooLong), "");
  EXPECT_EQ(moduleLibraryPath(std::string(5000, 'n')), "");
  EXPECT_EQ(checkInstalledModule(tooLong), 2);
  EXPECT_EQ(registerModule(tooLong), 1);
}

// ---- The installed-module check ---------------------------------------

TEST_F(ModuleHostTest, InstalledCheckCodes) {
  EXPECT_EQ(checkInstalledModule(kAbsentModule), 2);
  EXPECT_EQ(checkInstalledModule("ghost"), 2);  // neither listed nor there
  EXPECT_EQ(checkInstalledModule(kEchoStaleModule), 3);     // 1.2.3 vs 1.2.4
  EXPECT_EQ(checkInstalledModule(kEchoFourPartModule), 3);  // vs 1.2.3.4
  EXPECT_EQ(checkInstalledModule(kEchoBadDigestModule), 4);
  EXPECT_EQ(checkInstalledModule("echo"), 0);
  EXPECT_EQ(checkInstalledModule("twoone"), 0);
  // No stamp and no "latest": equal empty texts, and no digest to match.
  EXPECT_EQ(checkInstalledModule("nostamp"), 4);
  EXPECT_EQ(checkInstalledModule(kNotLibraryModule), 4);
}

TEST_F(ModuleHostTest, AnythingAtThePathCountsAsPresent) {
  const fs::path directory =
      fs::path(testModulesDirectory()) / (std::string(kAbsentModule) + ".so");
  ASSERT_TRUE(fs::create_directory(directory));
  // A directory has no version; the catalogue wants 1.0.0.
  EXPECT_EQ(checkInstalledModule(kAbsentModule), 3);
  fs::remove(directory);
  EXPECT_EQ(checkInstalledModule(kAbsentModule), 2);
}

TEST_F(ModuleHostTest, NamesThatAreNotPlainAreNeverListed) {
  EXPECT_EQ(checkModuleListed("echo"), 0);
  EXPECT_EQ(checkModuleListed(kAbsentModule), 0);
  // The catalogue has members with these names.
  for (const char* name : {"a/b", "a\\b", "c:x"}) {
    EXPECT_EQ(checkModuleListed(name), 6) << name;
    EXPECT_EQ(checkInstalledModule(name), 2) << name;
  }
}

// ---- Loading ----------------------------------------------------------

TEST_F(ModuleHostTest, NeverLoadedNamesHaveNoExportsAndNothingToUnload) {
  EXPECT_EQ(findModuleExport("never-loaded", "registerHandler"), nullptr);
  EXPECT_FALSE(unloadModuleLibrary("never-loaded"));
}

TEST_F(ModuleHostTest, LoadUnloadLoadUsesTheNewHandle) {
  // nulltable never registers, so nothing else keeps it loaded.
  const std::string path = installedModule("nulltable");
  ASSERT_FALSE(libraryMapped(path));
  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  EXPECT_TRUE(libraryMapped(path));
  EXPECT_NE(findModuleExport("nulltable", "registerHandler"), nullptr);
  EXPECT_EQ(findModuleExport("nulltable", "noSuchExport"), nullptr);

  ASSERT_TRUE(unloadModuleLibrary("nulltable"));
  EXPECT_FALSE(libraryMapped(path));
  EXPECT_EQ(findModuleExport("nulltable", "registerHandler"), nullptr);
  EXPECT_FALSE(unloadModuleLibrary("nulltable"));

  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  void* current = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(findModuleExport("nulltable", "registerHandler"),
            dlsym(current, "registerHandler"));
  dlclose(current);
  ASSERT_TRUE(unloadModuleLibrary("nulltable"));
  EXPECT_FALSE(libraryMapped(path));
}

TEST_F(ModuleHostTest, LoadingARecordedNameAgainKeepsOneReference) {
  const std::string path = installedModule("nulltable");
  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  ASSERT_TRUE(loadModuleLibrary("nulltable"));
  ASSERT_TRUE(unloadModuleLibrary("nulltable"));
  // The second load gave its reference back: one unload releases it all.
  EXPECT_FALSE(libraryMapped(path));
  EXPECT_FALSE(unloadModuleLibrary("nulltable"));
}

TEST_F(ModuleHostTest, LoadFailuresRecordNothing) {
  EXPECT_FALSE(loadModuleLibrary(kAbsentModule));
  EXPECT_FALSE(loadModuleLibrary(kNotLibraryModule));
  EXPECT_FALSE(loadModuleLibrary("a/b"));
  EXPECT_EQ(findModuleExport(kNotLibraryModule, "registerHandler"), nullptr);
  EXPECT_FALSE(unloadModuleLibrary(kNotLibraryModule));
}

// ---- Registration ---------------------------------------------------------

TEST_F(ModuleHostTest, RegistrationCodes) {
  EXPECT_EQ(registerModule("echo"), 0);
  EXPECT_NE(findHandler("echo"), nullptr);
  EXPECT_NE(findModuleExport("echo", "registerHandler"), nullptr);

  EXPECT_EQ(registerModule(kAbsentModule), 1);
  EXPECT_EQ(registerModule(kNotLibraryModule), 1);
  EXPECT_EQ(registerModule("a/b"), 1);
  EXPECT_EQ(findHandler(kNotLibraryModule), nullptr);

  EXPECT_EQ(registerModule("noexport"), 2);
  EXPECT_EQ(findHandler("noexport"), nullptr);
  EXPECT_EQ(findModuleExport("noexport", "notRegisterHandler"), nullptr);
  EXPECT_FALSE(libraryMapped(installedModule("noexport")));

  EXPECT_EQ(registerModule("nulltable"), 3);
  EXPECT_EQ(findHandler("nulltable"), nullptr);
  EXPECT_EQ(findModuleExport("nulltable", "registerHandler"), nullptr);
  EXPECT_FALSE(libraryMapped(installedModule("nulltable")));

  // After a failure the next attempt starts again from the beginning.
  EXPECT_EQ(registerModule("noexport"), 2);
  EXPECT_EQ(registerModule("nulltable"), 3);
}

TEST_F(ModuleHostTest, AllNullTableRegisters) {
  EXPECT_EQ(registerModule("nullslots"), 0);
  const ModuleHandler* table = findHandler("nullslots");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->handleRequest, nullptr);
  EXPECT_EQ(table->pollMessages, nullptr);
  EXPECT_EQ(table->releaseReply, nullptr);
  EXPECT_EQ(table->releaseMessages, nullptr);
}

TEST_F(ModuleHostTest, RegisteredNameIsNotLoadedAgain) {
  ASSERT_EQ(registerModule("twoone"), 0);
  const ModuleHandler* table = findHandler("twoone");
  ASSERT_NE(table, nullptr);
  // With its file gone a new load would fail (code 1).
  const fs::path file = installedModule("twoone");
  const fs::path aside = file.string() + ".aside";
  fs::rename(file, aside);
  EXPECT_EQ(registerModule("twoone"), 0);
  fs::rename(aside, file);
  EXPECT_EQ(findHandler("twoone"), table);
  // Names are exact.
  EXPECT_EQ(findHandler("Twoone"), nullptr);
  EXPECT_EQ(findHandler("twoone "), nullptr);
}

TEST_F(ModuleHostTest, RegistryWalkIsInByteWiseOrder) {
  for (const char* name : {"twoone", "Beta", "echo", "alpha"})
    ASSERT_EQ(registerModule(name), 0) << name;
  std::shared_ptr<const HandlerList> handlers = registeredHandlers();
  std::vector<const ModuleHandler*> seen;
  for (const ModuleHandler* table : *handlers)
    for (const char* name : {"Beta", "alpha", "echo", "twoone"})
      if (table == findHandler(name)) seen.push_back(table);
  EXPECT_EQ(seen, (std::vector<const ModuleHandler*>{
                      findHandler("Beta"), findHandler("alpha"),
                      findHandler("echo"), findHandler("twoone")}));
}

// ---- The test modules themselves ------------------------------------------

TEST_F(ModuleHostTest, TickerCountsAcrossConnections) {
  ASSERT_EQ(registerModule("ticker"), 0);
  char first = 0;
  char second = 0;
  auto seq = [](Connection connection) {
    deliverToClient(connection);
    long value = -1;
    for (const std::string& text : takeFrames(connection))
      std::sscanf(text.c_str(), "{\"seq\":%ld}", &value);
    return value;
  };
  const long a = seq(&first);
  const long b = seq(&second);
  const long c = seq(&first);
  EXPECT_GT(a, 0);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, a + 2);
}

TEST_F(ModuleHostTest, SlowpollSleepsOnlyForSlowConnections) {
  ASSERT_EQ(registerModule("slowpoll"), 0);
  const ModuleHandler* table = findHandler("slowpoll");
  ASSERT_NE(table, nullptr);
  char slow = 0;
  char quick = 0;
  EXPECT_EQ(table->handleRequest(&quick, "\"other\""), nullptr);
  EXPECT_EQ(table->pollMessages(&quick), nullptr);
  char* reply = table->handleRequest(&slow, "\"slow\"");
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "ok");
  table->releaseReply(reply);
  const auto start = std::chrono::steady_clock::now();
  char** messages = table->pollMessages(&slow);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(450));
  ASSERT_NE(messages, nullptr);
  EXPECT_STREQ(messages[0], "slept");
  EXPECT_EQ(messages[1], nullptr);
  table->releaseMessages(messages);
  EXPECT_EQ(table->pollMessages(&quick), nullptr);
}

// ---- Concurrency ----------------------------------------------------------

// Meaningful under -DLAUNCHER_SANITIZE=thread: registration (with loads and
// unloads of failing modules) on one thread while another ticks.
TEST_F(ModuleHostTest, RegisteringWhileTheTickWalksTheRegistry) {
  char tickClient = 0;
  std::atomic<bool> done{false};
  std::thread registering([&] {
    for (int round = 0; round < 20; ++round) {
      for (const char* name : {"Beta", "alpha", "emptypoll", "ticker", "echo",
                               "twoone", "nostamp", "nullslots"})
        EXPECT_EQ(registerModule(name), 0) << name;
      EXPECT_EQ(registerModule("noexport"), 2);
      EXPECT_EQ(registerModule("nulltable"), 3);
      EXPECT_EQ(registerModule(kAbsentModule), 1);
    }
    done.store(true);
  });
  int ticks = 0;
  while (!done.load() || ticks < 50) {
    deliverToClient(&tickClient);
    takeFrames(&tickClient);
    ++ticks;
  }
  registering.join();
  deliverToClient(&tickClient);
  std::vector<std::string> frames = takeFrames(&tickClient);
  EXPECT_NE(std::find(frames.begin(), frames.end(), "Beta"), frames.end());
}

// Requests of several clients at once, while the tick polls (module state is
// the module's to guard; the launcher adds no lock).
TEST_F(ModuleHostTest, RequestsFromSeveralThreadsWhileTicking) {
  ASSERT_EQ(registerModule("echo"), 0);
  char clients[4] = {};
  std::atomic<int> running{4};
  std::vector<std::thread> threads;
  for (char& c : clients) {
    threads.emplace_back([&running, connection = &c] {
      const std::string payload = R"({"target":"echo","request":"push:x"})";
      for (int i = 0; i < 200; ++i)
        routeMessage(connection, payload.data(), payload.size());
      running.fetch_sub(1);
    });
  }
  std::size_t pushed[4] = {};
  while (running.load() > 0) {
    for (int i = 0; i < 4; ++i) {
      deliverToClient(&clients[i]);
      for (const std::string& text : takeFrames(&clients[i]))
        if (text == "x") ++pushed[i];
    }
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    deliverToClient(&clients[i]);
    for (const std::string& text : takeFrames(&clients[i]))
      if (text == "x") ++pushed[i];
    EXPECT_EQ(pushed[i], 200u) << i;
  }
}

}  // namespace
