#include "platform/error.h"

namespace dz {

std::string Error::localizedDescription() const {
  if (!description_.empty()) return description_;
  return "The operation couldn't be completed. (" + domain_ + " error " + std::to_string(code_) +
         ".)";
}

}  // namespace dz
