#include "database/snapshot/key_order.h"

#include "database/utilities/utilities.h"

namespace dz::database {
namespace {

int byteOrder(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

int compareSpecialKeys(std::string_view a, std::string_view b) {
  if (a == b) return 0;
  const std::string& min = minName();
  const std::string& max = maxName();
  if (a == min || b == max) return -1;
  if (b == min || a == max) return 1;
  std::optional<int64_t> intA = intForString(a);
  std::optional<int64_t> intB = intForString(b);
  if (intA && intB) {
    if (*intA != *intB) return *intA < *intB ? -1 : 1;
    return byteOrder(a, b);
  }
  if (intA) return -1;
  if (intB) return 1;
  return byteOrder(a, b);
}

}  // namespace dz::database
