// How the operations that read the bank configuration from the ERP database
// get their session, and how they report a database they cannot reach.
#pragma once

#include "db.hpp"
#include "outcome.hpp"
#include "owned.hpp"

namespace scb {

inline constexpr const char *kDatabaseConnectFailed =
    "Failed to connect to database. Check credentials and network connectivity.";
inline constexpr const char *kConnectFailedLog =
    "Failed to connect to PostgreSQL - check database credentials and network";

// Envelope 9002 for a database that cannot be reached, after its error line.
ScbText database_unreachable(const char *log_line);

// The operation's session when the environment names a database; else
// envelope 9001 (neither PGHOST nor PGDATABASE) or 9002 (no connection).
Outcome<DbSession> open_erp_session();

}  // namespace scb
