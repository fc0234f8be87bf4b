#include "bridge/origin_policy.h"

#include <gtest/gtest.h>

TEST(OriginPolicy, ExactOriginsOnlyAndNoneWhenTheListIsEmpty) {
  const std::vector<std::string> allowed = {"https://app.example",
                                            "https://app.example:8443"};
  EXPECT_TRUE(originInList("https://app.example", allowed, false));
  EXPECT_TRUE(originInList("https://app.example:8443", allowed, false));
  for (const char* origin :
       {"http://app.example", "https://app.example:443", "https://APP.example",
        "https://app.example/", "https://app.example.evil", "null", ""})
    EXPECT_FALSE(originInList(origin, allowed, false)) << origin;
  // No Origin at all: not a browser, let in only when asked for.
  EXPECT_FALSE(originInList(nullptr, allowed, false));
  EXPECT_TRUE(originInList(nullptr, allowed, true));
  EXPECT_TRUE(originInList("https://evil.example", {}, false));
  EXPECT_TRUE(originInList(nullptr, {}, false));
}
