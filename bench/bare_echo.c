/* The comparison server: stock CivetWeb with mbedTLS and the launcher's
 * options, echoing each text frame back.  bare_echo PORT BUNDLE.pem */
#include <stdio.h>
#include <unistd.h>

#include "civetweb.h"

static int claim(struct mg_connection* conn, void* data) {
  (void)conn;
  (void)data;
  return 1;
}

static int echo(struct mg_connection* conn, int bits, char* data, size_t length,
                void* user) {
  (void)user;
  if ((bits & 0x0F) == MG_WEBSOCKET_OPCODE_TEXT)
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, data, length);
  return 1;
}

int main(int argc, char** argv) {
  char port[32];
  if (argc != 3) return 2;
  snprintf(port, sizeof port, "127.0.0.1:%ss", argv[1]);
  mg_init_library(2 | 16);
  const char* options[] = {"listening_ports",
                           port,
                           "enable_websocket_ping_pong",
                           "yes",
                           "ssl_certificate",
                           argv[2],
                           "tcp_nodelay",
                           "1",
                           NULL};
  struct mg_context* context = mg_start(NULL, NULL, options);
  if (context == NULL) return 1;
  mg_set_request_handler(context, "", claim, NULL);
  mg_set_websocket_handler(context, "", NULL, NULL, echo, NULL, NULL);
  printf("ready\n");
  fflush(stdout);
  for (;;) sleep(1000);
}
