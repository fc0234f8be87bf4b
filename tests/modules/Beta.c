/* Beta (1.0.0.0): polls "Beta" on every call; byte-wise it sorts first. */
#define POLL_TEXT "Beta"
#include "named_poll.inc"
