#include "bridge/json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

namespace {

// Readers and writers cost more to make than to use (each reads its settings
// from a Json::Value), yet hold per-use state: each use borrows one from a
// small shared pool. (A thread_local one is torn down by the Windows
// toolchain's thread-exit hooks from freed memory.)
template <typename T>
class Pool {
 public:
  template <typename Make>
  std::unique_ptr<T> take(Make make) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!idle_.empty()) {
        std::unique_ptr<T> item = std::move(idle_.back());
        idle_.pop_back();
        return item;
      }
    }
    return make();
  }

  void give(std::unique_ptr<T> item) {
    std::lock_guard<std::mutex> guard(lock_);
    if (idle_.size() < kKept) idle_.push_back(std::move(item));
  }

 private:
  static constexpr std::size_t kKept = 16;
  std::mutex lock_;
  std::vector<std::unique_ptr<T>> idle_;
};

// Never destroyed: a worker may still be borrowing while the process exits.
template <typename T>
Pool<T>& poolOf() {
  static Pool<T>& pool = *new Pool<T>;
  return pool;
}

struct TextWriter {
  std::unique_ptr<Json::StreamWriter> writer;
  std::ostringstream out;
};

}  // namespace

std::string writeJsonText(const Json::Value& value) {
  static const Json::StreamWriterBuilder builder;
  std::unique_ptr<TextWriter> text = poolOf<TextWriter>().take([] {
    auto made = std::make_unique<TextWriter>();
    made->writer.reset(builder.newStreamWriter());
    return made;
  });
  text->out.str(std::string());
  text->out.clear();
  // A writer that threw is not given back.
  text->writer->write(value, &text->out);
  std::string written = text->out.str();
  poolOf<TextWriter>().give(std::move(text));
  return written;
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
  static const Json::CharReaderBuilder builder = strictBuilder();
  if (!passesStrictScan(data, length)) return false;
  std::unique_ptr<Json::CharReader> reader =
      poolOf<Json::CharReader>().take([] {
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
      });
  Json::Value parsed;
  bool parsedWhole;
  try {
    // Each parse starts from a clean reader state, whatever the last one
    // left behind.
    parsedWhole = reader->parse(data, data + length, &parsed, nullptr);
  } catch (const std::exception&) {
    // Nesting beyond the stack limit is reported by an exception.
    parsedWhole = false;
  }
  poolOf<Json::CharReader>().give(std::move(reader));
  if (!parsedWhole) return false;
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
