// Library file bytes through fileVersionText: the version reader must stay
// inside the file and give "a.b.c" of 16-bit parts or nothing.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <regex>
#include <string>

#include "fuzz_support.h"
#include "modules/module_libraries.h"

namespace {

std::string libraryPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  libraryPath = (fuzzScratchDirectory("versions-fuzz") / "module.so").string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  {
    std::ofstream out(libraryPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data),
              static_cast<std::streamsize>(size));
    fuzzCheck(static_cast<bool>(out), "cannot write the library file");
  }
  const std::string version = fileVersionText(libraryPath.c_str());
  static const std::regex shape("([0-9]{1,5})\\.([0-9]{1,5})\\.([0-9]{1,5})");
  std::smatch parts;
  if (version.empty()) return 0;
  fuzzCheck(std::regex_match(version, parts, shape),
            "version text \"" + version + "\"");
  for (std::size_t i = 1; i <= 3; ++i)
    fuzzCheck(std::stoul(parts[i].str()) <= 0xFFFF, "part above 16 bits");
  return 0;
}
