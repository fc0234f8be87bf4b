// Archive bytes through extractPackage into a destination deep inside a
// scratch tree. After each run nothing may exist in the tree but the archive
// and the destination's own contents, and nothing in it may be a link.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "install/package_extraction.h"

namespace fs = std::filesystem;

namespace {

// Deep enough that a name climbing out with ".." still lands in the tree.
constexpr int kDepth = 12;

fs::path root, archive, destination;
std::vector<platform::Utf16> destinationUnits;

void checkTree() {
  for (auto it = fs::recursive_directory_iterator(root);
       it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& path = it->path();
    fuzzCheck(!it->is_symlink(), "link written: " + path.string());
    if (path == archive || path == destination) continue;
    const std::string relative = path.lexically_relative(destination).string();
    const bool insideDestination = relative.rfind("..", 0) != 0;
    const bool parentOfDestination =
        destination.string().rfind(path.string() + "/", 0) == 0;
    fuzzCheck(insideDestination || parentOfDestination,
              "written outside the destination: " + path.string());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  root = fuzzScratchDirectory("packages-fuzz");
  fs::path deep = root;
  for (int i = 0; i < kDepth; ++i) deep /= "d";
  archive = deep / "package.7z";
  destination = deep / "modules";
  fs::create_directories(deep);
  destinationUnits.resize(destination.string().size() + 1);
  const std::size_t units = platform::narrowToUtf16(
      destination.c_str(), destinationUnits.data(), destinationUnits.size());
  fuzzCheck(units > 0, "destination not convertible");
  destinationUnits.resize(units - 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data),
              static_cast<std::streamsize>(size));
    fuzzCheck(static_cast<bool>(out), "cannot write the archive");
  }
  extractPackage(archive.c_str(), destinationUnits.data(),
                 destinationUnits.size());
  checkTree();
  // Read-only entries would stop the next run from replacing them.
  std::error_code ignored;
  for (const auto& entry :
       fs::recursive_directory_iterator(destination, ignored))
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add,
                    ignored);
  fs::remove_all(destination, ignored);
  return 0;
}
