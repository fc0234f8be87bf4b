#include "bridge/message_texts.h"

#include <cstdlib>
#include <cstring>

char* duplicateText(const char* text) {
  std::size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(std::calloc(length + 1, 1));
  if (copy != nullptr) std::memcpy(copy, text, length);
  return copy;
}

void freeText(char* text) { std::free(text); }

void freeMessages(char** messages) {
  if (messages == nullptr) return;
  for (char** p = messages; *p != nullptr; ++p) std::free(*p);
  std::free(messages);
}
