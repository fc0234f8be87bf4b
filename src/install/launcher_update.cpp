#include "install/launcher_update.h"

#include <cstdio>
#include <cstring>

#include "catalogue/module_catalogue.h"
#include "catalogue/module_names.h"
#include "install/install_task.h"
#include "install/package_download.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kPathBuffer = 1024;
constexpr int kVersionParts = 3;
constexpr char kRecordName[] = "launcher-update";
// A version text is at most four 16-bit numbers and their dots.
constexpr std::size_t kRecordBytes = 32;
constexpr unsigned kInstallPollMilliseconds = 500;

// The dotted numbers of a version, without leading zeros; false unless the
// text is one to four numbers of one to five digits.
bool versionParts(const std::string& text, std::string (&parts)[4]) {
  int count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::size_t end = dot == std::string::npos ? text.size() : dot;
    if (count == 4 || end == start || end - start > 5) return false;
    for (std::size_t i = start; i < end; ++i)
      if (text[i] < '0' || text[i] > '9') return false;
    std::size_t first = start;
    while (first + 1 < end && text[first] == '0') ++first;
    parts[count++] = text.substr(first, end - first);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  for (; count < 4; ++count) parts[count] = "0";
  return true;
}

std::string recordPath() {
  const std::string modules = recordedModulesDirectory();
  const std::size_t cut = modules.rfind(platform::kPathSeparator);
  if (cut == std::string::npos) return std::string();
  return modules.substr(0, cut + 1) + kRecordName;
}

// The version the record names, and the record gone; empty without one.
std::string takeRecord(const std::string& path) {
  std::FILE* file = platform::openFile(path.c_str(), "rb");
  if (file == nullptr) return std::string();
  char text[kRecordBytes + 1];
  const std::size_t length = std::fread(text, 1, kRecordBytes, file);
  std::fclose(file);
  platform::deleteFile(path.c_str());
  std::string version(text, length);
  if (!version.empty() && version.back() == '\n') version.pop_back();
  return version;
}

bool writeRecord(const std::string& path, const std::string& version) {
  std::FILE* file = platform::openFile(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fprintf(file, "%s\n", version.c_str()) > 0;
  return std::fclose(file) == 0 && written;
}

// The setup's path in the temporary directory; empty when there is none.
std::string launcherSetupPath() {
  char path[kPathBuffer] = {};
  const std::size_t length = platform::temporaryDirectory(path, sizeof path);
  if (length == 0) return std::string();
  return std::string(path, length) + kLauncherEntryName + "-setup" +
         platform::kProgramExtension;
}

}  // namespace

bool isNewerVersion(const std::string& offered, const std::string& running) {
  std::string a[4];
  std::string b[4];
  if (!versionParts(offered, a) || !versionParts(running, b)) return false;
  for (int i = 0; i < kVersionParts; ++i) {
    if (a[i].size() != b[i].size()) return a[i].size() > b[i].size();
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return false;
}

void updateLauncher(const char* runningVersion) {
  // Without the publisher's signature the catalogue host alone would choose
  // what runs here.
  if (!signedCatalogueInForce()) return;
  const std::string setup = launcherSetupPath();
  const std::string record = recordPath();
  if (setup.empty() || record.empty()) return;
  const std::string offered = launcherLatestVersion();
  const std::string tried = takeRecord(record);
  if (!isNewerVersion(offered, runningVersion)) {
    // Current: what an earlier update left behind goes.
    platform::deleteFile(setup.c_str());
    return;
  }
  if (tried == offered) {
    // That version's setup failed: a later offer's download would resume
    // from its bytes.
    platform::deleteFile(setup.c_str());
    return;
  }

  if (downloadPackage(setup.c_str(), launcherVersionField("install"),
                      launcherSetupSize(), launcherVersionField("sha512e"),
                      /*progress=*/nullptr) != Ok)
    return;
  if (platform::checkCodeSignature(setup.c_str()) ==
      platform::CodeSignature::Refused) {
    platform::deleteFile(setup.c_str());
    return;
  }
  // Elsewhere the verified setup stays for the system's package manager.
  if (!platform::kRunsLauncherSetups) return;

  // The setup stops this launcher: not in the middle of a module's unpack.
  while (anyInstallRunning()) {
    if (platform::stopRequested()) return;
    platform::sleepMilliseconds(kInstallPollMilliseconds);
  }
  if (!writeRecord(record, offered)) return;
  if (!platform::startDetachedProgram(setup.c_str(), "/S"))
    platform::deleteFile(record.c_str());
}
