#include "toolbox/user_agent.h"

#include <algorithm>

#include "platform/process_info.h"

namespace dz::toolbox {
namespace {

std::string withoutControlCharacters(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, ' ');
  return text;
}

}  // namespace

std::string fetcherUserAgentForBundle(const platform::Bundle* bundle) {
  const platform::Bundle& source = bundle ? *bundle : platform::Bundle::main();
  return withoutControlCharacters(source.bundleIdentifier()) + " " +
         withoutControlCharacters(
             platform::ProcessInfo::processInfo().operatingSystemVersionString());
}

}  // namespace dz::toolbox
