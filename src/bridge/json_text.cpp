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
std::unique_ptr<Json::CharReader> strictReader() {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}
}  // namespace

bool parseJsonText(const char* data, std::size_t length, Json::Value& value) {
  // The reader holds per-parse state, so each thread keeps its own.
  thread_local std::unique_ptr<Json::CharReader> reader = strictReader();
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
