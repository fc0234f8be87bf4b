// Heap texts and null-terminated text arrays that the launcher allocates
// itself (module texts are released by their modules, never here).
#ifndef LAUNCHER_BRIDGE_MESSAGE_TEXTS_H
#define LAUNCHER_BRIDGE_MESSAGE_TEXTS_H

// Zero-filled copy of length + 1 bytes; null when memory runs out.
char* duplicateText(const char* text);
void freeText(char* text);

// Frees every text up to the null entry, then the array.
void freeMessages(char** messages);

#endif
