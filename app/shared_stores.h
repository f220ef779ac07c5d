// The process's stores (each sharedManager()), made on first use over Environment::standard()
// and kept for the process. Tests that use them start from a clean slate with
// resetSharedStores().
#pragma once

namespace pollapp {

// Drops the shared stores (their observers go with them); the next sharedManager() makes anew.
void resetSharedStores();

}  // namespace pollapp
