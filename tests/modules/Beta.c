/*
 * Beta (version 1.0.0.0): polls "Beta" on every call. With Beta and alpha
 * both registered, a tick sends "Beta" before "alpha" (byte-wise name order:
 * upper case first).
 */
#define POLL_TEXT "Beta"
#include "named_poll.inc"
