#include "erp_session.hpp"

#include "scb.h"

namespace scb {

namespace {

const char *const kEnvironmentMissingLog = "PostgreSQL environment variables not set (PGHOST, PGDATABASE, etc.)";
const char *const kEnvironmentMissing =
    "Database environment variables not configured. Set PGHOST, PGDATABASE, PGUSER, PGPASSWORD.";

}  // namespace

ScbText database_unreachable(const char *log_line) {
    scb_log_error(log_line);
    return ScbText(scb_create_error_response(9002, kDatabaseConnectFailed));
}

Outcome<DbSession> open_erp_session() {
    if (database_environment_missing()) {
        scb_log_error(kEnvironmentMissingLog);
        return Outcome<DbSession>::failed(ScbText(scb_create_error_response(9001, kEnvironmentMissing)));
    }
    DbSession session(acquire_session());
    if (!session) {
        return Outcome<DbSession>::failed(database_unreachable(kConnectFailedLog));
    }
    return session;
}

}  // namespace scb
