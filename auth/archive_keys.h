// Keys of the archived user, its provider data and its token service. The user's archive and
// the user info's share the profile keys, so each key has one spelling.
#pragma once

namespace dz::auth {

inline constexpr char kUserIDKey[] = "userID";
inline constexpr char kDisplayNameKey[] = "displayName";
inline constexpr char kPhotoURLKey[] = "photoURL";
inline constexpr char kEmailKey[] = "email";
inline constexpr char kAPIKeyKey[] = "APIKey";

}  // namespace dz::auth
