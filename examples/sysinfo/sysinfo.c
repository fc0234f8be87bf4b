/*
 * Example module "sysinfo": tells a page about the machine it runs on.
 *
 * Requests (the "request" member the page sends with "target":"sysinfo"):
 *   {"op":"facts"}               host name, OS name, release and version,
 *                                machine, CPU count, memory and uptime
 *   {"op":"echo","text":"..."}   the text back
 * Anything else is answered with {"error":"..."}.
 *
 * Every connected page also gets, about once a second,
 *   {"clock":"YYYY-MM-DDTHH:MM:SSZ","load":[l1,l5,l15],"tick":n}
 * with the load averages 0 where the system keeps none.
 *
 * Built against launcher_module.h alone. What it needs from the operating
 * system is declared in sysinfo_platform.h and implemented once per platform.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "launcher_module.h"
#include "sysinfo_platform.h"

/* ---- Growing text buffer ------------------------------------------------ */

typedef struct {
  char* data;
  size_t length, capacity;
  int failed; /* an allocation failed; the text is unusable */
} Text;

static void textAppend(Text* t, const char* bytes, size_t n) {
  if (t->failed) return;
  if (t->length + n + 1 > t->capacity) {
    size_t capacity = t->capacity ? t->capacity : 128;
    while (t->length + n + 1 > capacity) capacity *= 2;
    char* grown = realloc(t->data, capacity);
    if (grown == NULL) {
      t->failed = 1;
      return;
    }
    t->data = grown;
    t->capacity = capacity;
  }
  memcpy(t->data + t->length, bytes, n);
  t->length += n;
  t->data[t->length] = '\0';
}

static void textFormat(Text* t, const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0 || (size_t)n >= sizeof small) {
    t->failed = 1;
    return;
  }
  textAppend(t, small, (size_t)n);
}

static void textPut(Text* t, const char* s) { textAppend(t, s, strlen(s)); }

/* Whether the text is exactly s (a decoded text may hold NUL characters). */
static int textEquals(const Text* t, const char* s) {
  return t->data != NULL && t->length == strlen(s) &&
         memcmp(t->data, s, t->length) == 0;
}

/* The finished text for the launcher, or NULL. */
static char* textTake(Text* t) {
  if (t->failed || t->data == NULL) {
    free(t->data);
    return NULL;
  }
  return t->data;
}

/* Length of the well-formed UTF-8 sequence at s (at most n bytes), or 0. */
static size_t utf8SequenceLength(const unsigned char* s, size_t n) {
  unsigned c = s[0];
  size_t length;
  unsigned minimum;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, minimum = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, minimum = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, minimum = 0x10000;
  } else {
    return 0;
  }
  if (length > n) return 0;
  unsigned code = c & (0x3Fu >> (length - 1));
  for (size_t i = 1; i < length; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (s[i] & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return length;
}

/*
 * A JSON string literal. Each frame must be valid UTF-8 or the browser drops
 * the connection, so malformed bytes become U+FFFD.
 */
static void textString(Text* t, const char* s, size_t n) {
  const unsigned char* u = (const unsigned char*)s;
  textAppend(t, "\"", 1);
  size_t i = 0;
  while (i < n) {
    unsigned c = u[i];
    if (c == '"' || c == '\\') {
      char escaped[2] = {'\\', (char)c};
      textAppend(t, escaped, 2);
      i++;
    } else if (c < 0x20 || c == 0x7F) {
      textFormat(t, "\\u%04x", c);
      i++;
    } else {
      size_t length = utf8SequenceLength(u + i, n - i);
      if (length == 0) {
        textAppend(t, "\xEF\xBF\xBD", 3);
        i++;
      } else {
        textAppend(t, s + i, length);
        i += length;
      }
    }
  }
  textAppend(t, "\"", 1);
}

static void textMember(Text* t, const char* name, const char* value) {
  textFormat(t, "\"%s\":", name);
  textString(t, value, strlen(value));
}

/* ---- Minimal JSON reading ------------------------------------------------ */
/* Reads only the top-level string members it is asked for; everything else
 * is checked for well-formedness and skipped, to a bounded depth. */

enum { kMaxDepth = 32 };

static void skipSpace(const char** p) {
  while (**p == ' ' || **p == '\t' || **p == '\n' || **p == '\r') (*p)++;
}

static int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static int readHex4(const char* p, unsigned* out) {
  unsigned value = 0;
  for (int i = 0; i < 4; i++) {
    int h = hexValue(p[i]);
    if (h < 0) return 0;
    value = value * 16 + (unsigned)h;
  }
  *out = value;
  return 1;
}

static void appendCodePoint(Text* t, unsigned code) {
  char b[4];
  if (code < 0x80) {
    b[0] = (char)code;
    textAppend(t, b, 1);
  } else if (code < 0x800) {
    b[0] = (char)(0xC0 | (code >> 6));
    b[1] = (char)(0x80 | (code & 0x3F));
    textAppend(t, b, 2);
  } else if (code < 0x10000) {
    b[0] = (char)(0xE0 | (code >> 12));
    b[1] = (char)(0x80 | ((code >> 6) & 0x3F));
    b[2] = (char)(0x80 | (code & 0x3F));
    textAppend(t, b, 3);
  } else {
    b[0] = (char)(0xF0 | (code >> 18));
    b[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    b[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    b[3] = (char)(0x80 | (code & 0x3F));
    textAppend(t, b, 4);
  }
}

/* A string literal at *p, decoded into out (when not NULL). */
static int readString(const char** p, Text* out) {
  const char* s = *p;
  if (*s != '"') return 0;
  s++;
  for (;;) {
    unsigned char c = (unsigned char)*s;
    if (c == '"') break;
    if (c < 0x20) return 0; /* also the terminating NUL */
    if (c != '\\') {
      if (out) textAppend(out, s, 1);
      s++;
      continue;
    }
    s++;
    char e = *s++;
    const char* simple = strchr("\"\\/bfnrt", e);
    if (e != '\0' && simple != NULL) {
      static const char decoded[] = "\"\\/\b\f\n\r\t";
      if (out) textAppend(out, &decoded[simple - "\"\\/bfnrt"], 1);
    } else if (e == 'u') {
      unsigned code;
      if (!readHex4(s, &code)) return 0;
      s += 4;
      if (code >= 0xD800 && code <= 0xDBFF) {
        unsigned low;
        if (s[0] == '\\' && s[1] == 'u' && readHex4(s + 2, &low) &&
            low >= 0xDC00 && low <= 0xDFFF) {
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          s += 6;
        } else {
          code = 0xFFFD; /* lone surrogate */
        }
      } else if (code >= 0xDC00 && code <= 0xDFFF) {
        code = 0xFFFD;
      }
      if (out) appendCodePoint(out, code);
    } else {
      return 0;
    }
  }
  *p = s + 1;
  return 1;
}

static int skipValue(const char** p, int depth);

static int skipComposite(const char** p, int depth, char close, int keyed) {
  if (depth >= kMaxDepth) return 0;
  (*p)++;
  skipSpace(p);
  if (**p == close) {
    (*p)++;
    return 1;
  }
  for (;;) {
    skipSpace(p);
    if (keyed) {
      if (!readString(p, NULL)) return 0;
      skipSpace(p);
      if (**p != ':') return 0;
      (*p)++;
    }
    if (!skipValue(p, depth + 1)) return 0;
    skipSpace(p);
    if (**p == ',') {
      (*p)++;
    } else if (**p == close) {
      (*p)++;
      return 1;
    } else {
      return 0;
    }
  }
}

static int skipValue(const char** p, int depth) {
  skipSpace(p);
  const char* s = *p;
  switch (*s) {
    case '"':
      return readString(p, NULL);
    case '{':
      return skipComposite(p, depth, '}', 1);
    case '[':
      return skipComposite(p, depth, ']', 0);
    case 't':
      if (strncmp(s, "true", 4) != 0) return 0;
      *p = s + 4;
      return 1;
    case 'f':
      if (strncmp(s, "false", 5) != 0) return 0;
      *p = s + 5;
      return 1;
    case 'n':
      if (strncmp(s, "null", 4) != 0) return 0;
      *p = s + 4;
      return 1;
    default: {
      const char* start = s;
      if (*s == '-') s++;
      if (*s < '0' || *s > '9') return 0;
      while (*s != '\0' && strchr("0123456789.eE+-", *s) != NULL) s++;
      *p = s;
      return s > start;
    }
  }
}

typedef struct {
  const char* name;
  Text value;
  int found;    /* the member is present */
  int isString; /* and its value is a string */
} Member;

/* Fills the wanted members from a request that must be one JSON object. */
static int readObject(const char* json, Member* members, size_t count) {
  const char* p = json;
  skipSpace(&p);
  if (*p != '{') return 0;
  p++;
  skipSpace(&p);
  if (*p == '}') {
    p++;
  } else {
    for (;;) {
      Text key = {0};
      skipSpace(&p);
      int ok = readString(&p, &key);
      Member* wanted = NULL;
      for (size_t i = 0; ok && i < count; i++) {
        if (textEquals(&key, members[i].name)) wanted = &members[i];
      }
      free(key.data);
      if (!ok) return 0;
      skipSpace(&p);
      if (*p != ':') return 0;
      p++;
      skipSpace(&p);
      if (wanted != NULL && *p == '"') {
        free(wanted->value.data);
        memset(&wanted->value, 0, sizeof wanted->value);
        if (!readString(&p, &wanted->value) || wanted->value.failed) return 0;
        wanted->found = wanted->isString = 1;
      } else {
        if (!skipValue(&p, 1)) return 0;
        if (wanted != NULL) wanted->found = 1, wanted->isString = 0;
      }
      skipSpace(&p);
      if (*p == ',') {
        p++;
      } else if (*p == '}') {
        p++;
        break;
      } else {
        return 0;
      }
    }
  }
  skipSpace(&p);
  return *p == '\0';
}

/* ---- Requests ------------------------------------------------------------ */

static char* errorReply(const char* message) {
  Text t = {0};
  textAppend(&t, "{", 1);
  textMember(&t, "error", message);
  textAppend(&t, "}", 1);
  return textTake(&t);
}

static char* factsReply(void) {
  SystemFacts facts;
  if (!systemFacts(&facts)) return errorReply("facts unavailable");

  Text t = {0};
  textPut(&t, "{\"op\":\"facts\",");
  textMember(&t, "host", facts.host);
  textAppend(&t, ",", 1);
  textMember(&t, "os", facts.os);
  textAppend(&t, ",", 1);
  textMember(&t, "release", facts.release);
  textAppend(&t, ",", 1);
  textMember(&t, "version", facts.version);
  textAppend(&t, ",", 1);
  textMember(&t, "machine", facts.machine);
  textFormat(&t, ",\"cpus\":%ld", facts.cpus > 0 ? facts.cpus : 1L);
  textFormat(&t, ",\"memory\":{\"total\":%llu,\"free\":%llu}",
             facts.memoryTotal, facts.memoryFree);
  textFormat(&t, ",\"uptime\":%lld}", facts.uptime);
  return textTake(&t);
}

static char* echoReply(const Text* text) {
  Text t = {0};
  textPut(&t, "{\"op\":\"echo\",\"text\":");
  textString(&t, text->data ? text->data : "", text->length);
  textAppend(&t, "}", 1);
  return textTake(&t);
}

static char* LAUNCHER_CALL handleRequest(LauncherConnection connection,
                                         const char* request) {
  (void)connection;
  Member members[] = {{"op", {0}, 0, 0}, {"text", {0}, 0, 0}};
  Member *op = &members[0], *text = &members[1];
  char* reply;
  if (request == NULL || !readObject(request, members, 2)) {
    reply = errorReply("the request must be a JSON object with an \"op\"");
  } else if (!op->isString) {
    reply = errorReply("\"op\" must be a string");
  } else if (textEquals(&op->value, "facts")) {
    reply = factsReply();
  } else if (textEquals(&op->value, "echo")) {
    reply = text->isString ? echoReply(&text->value)
                           : errorReply("\"text\" must be a string");
  } else {
    reply = errorReply("unknown \"op\"");
  }
  free(op->value.data);
  free(text->value.data);
  return reply;
}

static void LAUNCHER_CALL releaseReply(char* reply) { free(reply); }

/* ---- Pushed messages ----------------------------------------------------- */

enum { kPushIntervalMs = 1000, kForgetAfterMs = 10000 };

/* The launcher tells modules nothing of disconnects, so a connection that has
 * not been polled for a while is taken to be gone and forgotten. */
typedef struct {
  LauncherConnection connection;
  long long lastSent, lastPolled;
  unsigned long long tick;
} Peer;

/* Guarded by systemLock. */
static Peer* peers;
static size_t peerCount, peerCapacity;

/* Under systemLock: the peer for the connection, added when new; or NULL. */
static Peer* findPeer(LauncherConnection connection, long long now) {
  for (size_t i = 0; i < peerCount;) {
    if (peers[i].connection == connection) return &peers[i];
    if (now - peers[i].lastPolled > kForgetAfterMs) {
      peers[i] = peers[--peerCount];
    } else {
      i++;
    }
  }
  if (peerCount == peerCapacity) {
    size_t capacity = peerCapacity ? peerCapacity * 2 : 8;
    Peer* grown = realloc(peers, capacity * sizeof *grown);
    if (grown == NULL) return NULL;
    peers = grown;
    peerCapacity = capacity;
  }
  Peer* peer = &peers[peerCount++];
  peer->connection = connection;
  peer->lastSent = now - kPushIntervalMs; /* a new page hears at once */
  peer->lastPolled = now;
  peer->tick = 0;
  return peer;
}

static char* clockMessage(unsigned long long tick) {
  char clock[32] = "";
  time_t seconds = time(NULL);
  struct tm utc;
  if (systemUtcTime(seconds, &utc))
    strftime(clock, sizeof clock, "%Y-%m-%dT%H:%M:%SZ", &utc);
  double load[3] = {0, 0, 0};
  if (!systemLoad(load)) load[0] = load[1] = load[2] = 0;
  Text t = {0};
  textAppend(&t, "{", 1);
  textMember(&t, "clock", clock);
  textFormat(&t, ",\"load\":[%.2f,%.2f,%.2f],\"tick\":%llu}", load[0], load[1],
             load[2], tick);
  return textTake(&t);
}

static char** LAUNCHER_CALL pollMessages(LauncherConnection connection) {
  long long now = systemMonotonicMs();
  unsigned long long tick = 0;
  int due = 0;
  systemLock();
  Peer* peer = findPeer(connection, now);
  if (peer != NULL) {
    peer->lastPolled = now;
    if (now - peer->lastSent >= kPushIntervalMs) {
      peer->lastSent = now;
      tick = ++peer->tick;
      due = 1;
    }
  }
  systemUnlock();
  if (!due) return NULL;

  char** messages = malloc(2 * sizeof *messages);
  if (messages == NULL) return NULL;
  messages[0] = clockMessage(tick);
  messages[1] = NULL;
  return messages;
}

static void LAUNCHER_CALL releaseMessages(char** messages) {
  if (messages == NULL) return;
  for (char** m = messages; *m != NULL; m++) free(*m);
  free(messages);
}

static const ModuleHandler handler = {handleRequest, pollMessages, releaseReply,
                                      releaseMessages};

LAUNCHER_EXPORT const ModuleHandler* LAUNCHER_CALL registerHandler(void) {
  return &handler;
}
