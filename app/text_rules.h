// Rules the screens apply to what users type: trimming, and the e-mail domains that may sign up.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pollapp {

// `text` without leading and trailing blanks (spaces, tabs, line breaks).
std::string trimmed(std::string_view text);

// Why an e-mail address may not sign up; none when it may.
enum class EmailRefusal { InvalidEmail, NotOrganisation };
// The domain stored for `email` (the last two labels of its host, lower case), or the reason it is
// refused: not exactly one "@" (InvalidEmail); a host with fewer than two labels, an empty label,
// or a host that is a free web-mail domain, a subdomain of one, or any piece of the text of those
// domains joined by commas (NotOrganisation). The address is trimmed and compared without case.
struct EmailCheck {
  std::optional<EmailRefusal> refusal;
  std::string domain;
};
EmailCheck checkSignUpEmail(std::string_view email);

}  // namespace pollapp
