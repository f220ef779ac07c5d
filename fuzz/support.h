// What every fuzz target shares: a check that stops the run with a message, a scratch folder
// for targets that read files (also the file manager's sandbox root), and the rule that a task
// throwing into a queue's catch-all counts as a crash (support.cc replaces the platform's
// last-resort log line for that, and keeps other log lines quiet).
#pragma once

#include <filesystem>
#include <string_view>

namespace dz::fuzz {

// Aborts with `what` on standard error unless `condition` holds.
void require(bool condition, std::string_view what);

// A folder that exists for the life of the process, on a memory file system when there is one
// or in DZ_FUZZ_SCRATCH when that is set; the sandbox root is inside it. Made on first use, removed
// when the process exits (not when it crashes). DZ_FUZZ_LOG shows its path.
const std::filesystem::path& scratchFolder();

}  // namespace dz::fuzz
