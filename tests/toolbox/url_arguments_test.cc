#include "toolbox/url_arguments.h"

#include <gtest/gtest.h>

#include "toolbox/user_agent.h"

namespace dz::toolbox {
namespace {

TEST(URLArgumentsTest, ReservedAndUnsafeCharactersAreEscaped) {
  EXPECT_EQ(stringByEscapingForURLArgument("!*'();:@&=+$,/?%#[]"),
            "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D");
  EXPECT_EQ(stringByEscapingForURLArgument("a b\"<>\xc3\xa9-._~Z9"), "a%20b%22%3C%3E%C3%A9-._~Z9");
  EXPECT_EQ(httpArgumentsString({{"providerId", "x.com"}, {"access_token", "a&b=c"}}),
            "access_token=a%26b%3Dc&providerId=x.com");
}

TEST(UserAgentTest, ControlCharactersOfTheBundleIdentifierBecomeBlanks) {
  platform::Bundle bundle(std::filesystem::temp_directory_path());
  bundle.setInfoValue(platform::kBundleIdentifierKey, Value("com.example\r\nX-Evil: 1"));
  std::string agent = fetcherUserAgentForBundle(&bundle);
  EXPECT_EQ(agent.rfind("com.example  X-Evil: 1 ", 0), 0u) << agent;
  EXPECT_EQ(agent.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace dz::toolbox
