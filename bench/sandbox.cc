// Every benchmark program runs in a sandbox of its own in the temporary folder, removed at exit:
// the settings and key chains its clients keep never land in the user's data folder.
#include "tests/support/sandbox.h"

namespace {

const dz::testing::ScopedSandbox programSandbox;

}  // namespace
