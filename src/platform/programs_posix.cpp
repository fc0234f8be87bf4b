// Program files: no code signatures to check, and no setups to run, as the
// package manager installs launchers.
#include "platform/platform.h"

namespace platform {

CodeSignature checkCodeSignature(const char*) {
  return CodeSignature::Unchecked;
}

bool startDetachedProgram(const char*, const char*) { return false; }

}  // namespace platform
