// Archive bytes through extractPackage into a destination deep inside a
// scratch tree. After each run nothing may exist in the tree but the archive
// and the destination's own contents, and nothing in it may be a link.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "7z.h"
#include "7zCrc.h"
#include "fuzz_support.h"
#include "install/package_extraction.h"

namespace fs = std::filesystem;

namespace {

// Deep enough that a name climbing out with ".." still lands in the tree.
constexpr int kDepth = 12;

fs::path root, archive, destination;
std::vector<platform::Utf16> destinationUnits;

std::uint64_t readLittle(const std::uint8_t* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

void writeLittle32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> 8 * i);
}

// The start header and a plain (unpacked) header carry CRCs that nearly
// every mutation breaks, so the reader would look no further: give them
// back. Packed headers and the entries' data keep their own checks.
void repairHeaderCrcs(std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < k7zStartHeaderSize ||
      std::memcmp(bytes.data(), k7zSignature, k7zSignatureSize) != 0)
    return;
  std::uint8_t* start = bytes.data();
  const std::uint64_t rest = bytes.size() - k7zStartHeaderSize;
  const std::uint64_t offset = readLittle(start + 12, 8);
  const std::uint64_t size = readLittle(start + 20, 8);
  if (offset <= rest && size <= rest - offset)
    writeLittle32(start + 28, CrcCalc(start + k7zStartHeaderSize + offset,
                                      static_cast<std::size_t>(size)));
  writeLittle32(start + 8, CrcCalc(start + 12, 20));
}

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
  CrcGenerateTable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  repairHeaderCrcs(bytes);
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
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
