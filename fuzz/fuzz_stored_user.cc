// Any text as the key-chain item that holds the signed-in user, read as authentication reads it
// at launch. A user read has an id; stored again it writes a text that reads back as the same
// user and is stored as the same text; and its description does not depend on its tokens.
#include <cstdint>
#include <string>
#include <string_view>

#include "auth/user.h"
#include "core/app.h"
#include "fuzz/support.h"

namespace {

using dz::Value;
using dz::auth::User;
using dz::auth::UserPtr;
using dz::fuzz::require;

// The item's key for the default app (Auth::userKey()).
const std::string kUserKey = std::string(dz::core::kDefaultAppName) + "_dezuvura_user";

UserPtr readUser(std::string_view item) {
  std::optional<Value> archive = Value::parseJson(item);
  return archive ? User::fromArchive((*archive)[kUserKey]) : nullptr;
}

// As Auth stores its current user.
std::string storedItem(const User& user) {
  return Value(Value::Map{{kUserKey, user.archive()}}).toJsonString();
}

// The same user with other tokens.
UserPtr withOtherTokens(const User& user) {
  Value archive = user.archive();
  Value::Map tokens = archive["tokenService"].asMap();
  tokens["refreshToken"] = Value("other refresh token");
  tokens["accessToken"] = Value("other access token");
  Value::Map members = archive.asMap();
  members["tokenService"] = Value(std::move(tokens));
  return User::fromArchive(Value(std::move(members)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const UserPtr user = readUser(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!user) return 0;
  require(!user->uid().empty(), "a stored user without an id");
  const std::string item = storedItem(*user);
  const UserPtr again = readUser(item);
  require(again != nullptr, "a stored user does not read back: " + item);
  require(again->archive() == user->archive(), "a stored user reads back otherwise: " + item);
  require(storedItem(*again) == item, "a user is stored differently the second time");
  require(again->isAnonymous() == user->isAnonymous() &&
              again->refreshToken() == user->refreshToken() &&
              again->rawAccessToken() == user->rawAccessToken() &&
              again->tokenService()->accessTokenExpirationDate() ==
                  user->tokenService()->accessTokenExpirationDate(),
          "a stored user's tokens read back otherwise");
  const UserPtr other = withOtherTokens(*user);
  require(other && other->description() == user->description(),
          "a user's description depends on its tokens");
  return 0;
}
