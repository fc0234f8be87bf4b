#include "bridge/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <sstream>

std::string writeJsonText(const Json::Value& value) {
  static const Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

namespace {
constexpr int kStackLimit = 1000;

// Refuses, before the reader runs, what the reader would let through or
// could only refuse slowly: a "/" outside a string (the reader skips comment
// tokens inside objects and arrays even with comments disallowed), a NUL
// outside a string (where the reader would stop as if the text ended), and
// nesting past the limit (reported by an exception from the bottom of the
// recursion, which takes milliseconds to unwind).
bool passesStrictScan(const char* data, std::size_t length) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < length; ++i) {
    char c = data[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kStackLimit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == '/' || c == '\0') {
      return false;
    }
  }
  return true;
}

Json::CharReaderBuilder strictBuilder() {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  // strictMode keeps skipping a byte-order mark; strict reading refuses one.
  builder.settings_["skipBom"] = false;
  return builder;
}
}  // namespace

bool parseJsonText(const char* data, std::size_t length, Json::Value& value) {
  // A reader holds per-parse state, so each parse makes its own from the
  // shared settings. (A thread_local reader is torn down by the Windows
  // toolchain's thread-exit hooks from freed memory.)
  static const Json::CharReaderBuilder builder = strictBuilder();
  if (!passesStrictScan(data, length)) return false;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value parsed;
  try {
    if (!reader->parse(data, data + length, &parsed, nullptr)) return false;
  } catch (const std::exception&) {
    // Nesting beyond the stack limit is reported by an exception.
    return false;
  }
  value.swap(parsed);
  return true;
}

bool parseJsonText(const std::string& text, Json::Value& value) {
  return parseJsonText(text.data(), text.size(), value);
}

bool jsonScalarText(const Json::Value& value, std::string& text) {
  if (value.isArray() || value.isObject()) return false;
  try {
    text = value.asString();
  } catch (const std::exception&) {
    return false;
  }
  return true;
}
