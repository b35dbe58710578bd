#include <gtest/gtest.h>

#include "config/INI.h"

namespace vty::config::ini {
namespace {

TEST(LineRules, Smoke) {
  std::string key;
  EXPECT_TRUE(IsKey("a=b", key));
  EXPECT_EQ(key, "a");
}

}  // namespace
}  // namespace vty::config::ini
