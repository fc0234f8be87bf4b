// What the fuzz targets share: a finding aborts with a message, and scratch
// directories live under the system's temporary directory.
#ifndef LAUNCHER_FUZZ_FUZZ_SUPPORT_H
#define LAUNCHER_FUZZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// Stops the run: libFuzzer keeps the input that got here.
[[noreturn]] inline void fuzzFinding(const std::string& what) {
  std::fprintf(stderr, "finding: %s\n", what.c_str());
  std::abort();
}

inline void fuzzCheck(bool condition, const std::string& what) {
  if (!condition) fuzzFinding(what);
}

// A fresh directory for the whole run, removed at exit.
inline std::filesystem::path fuzzScratchDirectory(const char* tag) {
  static std::filesystem::path made;
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(tag) + "-XXXXXX"))
          .string();
  if (mkdtemp(pattern.data()) == nullptr) fuzzFinding("no scratch directory");
  made = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(made, ignored);
  });
  return made;
}

#endif
