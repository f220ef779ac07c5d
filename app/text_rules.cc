#include "app/text_rules.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"

namespace pollapp {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// Free web-mail domains, joined by commas: their users share no school or company.
constexpr std::string_view kBlockedDomainText =
    "freemail.test,webmail.test,inbox.test,postbox.test";

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// `domain` is one of the blocked domains.
bool blocked(const std::string& domain) {
  return ("," + std::string(kBlockedDomainText) + ",").find("," + domain + ",") !=
         std::string::npos;
}

}  // namespace

std::string trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

EmailCheck checkSignUpEmail(std::string_view email) {
  std::string address = dz::platform::asciiLowercased(trimmed(email));
  std::vector<std::string> parts = split(address, '@');
  if (parts.size() != 2 || parts[0].empty()) return {EmailRefusal::InvalidEmail, {}};
  const std::string& host = parts[1];
  std::vector<std::string> labels = split(host, '.');
  bool emptyLabel = std::any_of(labels.begin(), labels.end(),
                                [](const std::string& label) { return label.empty(); });
  if (labels.size() < 2 || emptyLabel) return {EmailRefusal::NotOrganisation, {}};
  std::string domain = labels[labels.size() - 2] + "." + labels.back();
  // Any piece of the blocked text is refused; so is a subdomain of a blocked domain, which would
  // join its users all the same.
  if (kBlockedDomainText.find(host) != std::string_view::npos || blocked(domain)) {
    return {EmailRefusal::NotOrganisation, {}};
  }
  return {std::nullopt, domain};
}

}  // namespace pollapp
