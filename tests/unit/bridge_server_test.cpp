// Handshakes the bridge refuses, at each stage, leave no client record: the
// registry cannot be seen from outside the process, where a leak would grow
// without bound.
#include "bridge/bridge_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "../support/https_server.h"
#include "core/build_settings.h"
#include "core/tls_identity.h"

namespace {

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

// The status of an upgrade request with the given origin and key; 0 when the
// answer is no HTTP response (the server's 500 comes without a status line).
long upgrade(int port, const std::string& origin, const std::string& key) {
  const std::string trust = testsupport::identityFile("root.pem");
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  const std::string headers[] = {
      "Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
      "Sec-WebSocket-Key: " + key, "Origin: " + origin};
  curl_slist* list = nullptr;
  for (const std::string& header : headers)
    list = curl_slist_append(list, header.c_str());
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, trust.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(list);
  return status;
}

TEST(BridgeServerTest, RefusedHandshakesLeaveNoClientRecord) {
  const std::string allowed = kAllowedOrigins;  // the tests allow one page
  const BridgeHooks hooks{nullptr, nullptr, nullptr};
  BridgeServer* server =
      openBridgeServer("127.0.0.1:0s", tlsIdentity(), &hooks);
  ASSERT_NE(server, nullptr);
  const int port = bridgeServerPort(server);
  ASSERT_GT(port, 0);

  // Refused in the connect handler, and failed after it accepted: a key too
  // long for the server's accept buffer.
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  const std::string longKey(80, 'k');
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(upgrade(port, "https://evil.example", key), 403);
    EXPECT_NE(upgrade(port, allowed, longKey), 101);
  }
  EXPECT_EQ(clientCount(), 0u);

  closeBridgeServer(server);
}

}  // namespace
