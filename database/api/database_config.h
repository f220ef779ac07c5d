// The settings of a database that must be made before first use (persistence, cache size,
// callback queue, token provider), as a user of the database sees them. See DatabaseConfig.
#pragma once

#include "database/core/database_config.h"
