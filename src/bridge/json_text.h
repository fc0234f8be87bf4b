// The launcher's only JSON text conversions. Their fixed settings decide the
// exact text of everything the launcher sends.
#ifndef LAUNCHER_BRIDGE_JSON_TEXT_H
#define LAUNCHER_BRIDGE_JSON_TEXT_H

#include <json/value.h>

#include <cstddef>
#include <string>

// StreamWriterBuilder defaults: tab indentation, members in key order, " : ".
std::string writeJsonText(const Json::Value& value);

// Strict reading: object or array root, no comments, no duplicate keys,
// nothing after the value, at most 1000 levels. Never throws.
bool parseJsonText(const char* data, std::size_t length, Json::Value& value);
bool parseJsonText(const std::string& text, Json::Value& value);

// The text of a scalar the way JsonCpp's asString gives it; false for an
// array or object, which has none.
bool jsonScalarText(const Json::Value& value, std::string& text);

#endif
