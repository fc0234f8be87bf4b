/* alpha (1.0.0.0): polls "alpha" on every call; it sorts after Beta. */
#define POLL_TEXT "alpha"
#include "named_poll.inc"
