// Request bodies and URLs as the server receives them.
#include "auth/rpc/requests.h"

#include <gtest/gtest.h>

namespace dz::auth {
namespace {

Value::Map body(const AuthRPCRequest& request) {
  ErrorPtr error;
  auto map = request.unencodedHTTPRequestBody(error);
  EXPECT_TRUE(map.has_value());
  return map.value_or(Value::Map{});
}

TEST(RequestsTest, BodiesLeaveOutWhatIsNotSet) {
  EXPECT_EQ(Value(body(SignUpNewUserRequest("k"))), Value(Value::Map{{"returnSecureToken", true}}));
  SetAccountInfoRequest update("k");
  update.returnSecureToken = false;
  update.emailVerified = false;
  update.deleteAttributes = {kDeleteAttributeDisplayName};
  EXPECT_EQ(Value(body(update)),
            Value(Value::Map{{"deleteAttribute", Value::Array{Value("DISPLAY_NAME")}}}));
  EXPECT_EQ(Value(body(GetOOBConfirmationCodeRequest::passwordResetRequest("a@b.c", "k"))),
            Value(Value::Map{{"kind", "identitykit#relyingparty"},
                             {"requestType", "PASSWORD_RESET"},
                             {"email", "a@b.c"}}));
  EXPECT_EQ(Value(body(GetOOBConfirmationCodeRequest::verifyEmailRequest("tok", "k")))["idToken"],
            Value("tok"));
  VerifyAssertionRequest assertion("k", "github.com");
  assertion.providerAccessToken = "a&b";
  EXPECT_EQ(Value(body(assertion))["postBody"], Value("access_token=a%26b&providerId=github.com"));
  EXPECT_EQ(Value(body(SecureTokenRequest::refreshRequest("r", "k"))),
            Value(Value::Map{{"grantType", "refresh_token"}, {"refreshToken", "r"}}));
}

TEST(RequestsTest, TheAPIKeyCannotChangeTheURL) {
  IdentityKitRequest::setHost("auth.dz.test:1");
  SecureTokenRequest::setHost("auth.dz.test:2");
  EXPECT_EQ(VerifyPasswordRequest("a", "b", "k&x=1#f").requestURL(),
            "https://auth.dz.test:1/identitykit/v3/relyingparty/verifyPassword?key=k%26x%3D1%23f");
  EXPECT_EQ(SecureTokenRequest::refreshRequest("r", "a b").requestURL(),
            "https://auth.dz.test:2/v1/token?key=a%20b");
}

}  // namespace
}  // namespace dz::auth
