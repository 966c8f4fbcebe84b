// Statement helpers shared by the operations that use the ERP database.
#pragma once

#include <initializer_list>

#include "owners.hpp"

namespace scb {

// One parameterised statement: parameters as text, types left to the server,
// text results. The result is never null-owned on return (libpq reports a
// missing result as a fatal status).
PgResult run_statement(PGconn *conn, const char *sql, std::initializer_list<const char *> params);

// The session is gone and could not be connected again: a failed statement
// then means "no database", not "no such row".
bool connection_lost(const PGconn *conn) noexcept;

bool has_rows(const PGresult *result) noexcept;
bool command_ok(const PGresult *result) noexcept;

// The column's text in row 0; NULL reads as the empty text.
const char *first_row_text(const PGresult *result, int column) noexcept;

// Closes the database sessions this process keeps; one lent out closes when it comes back.
void close_kept_sessions() noexcept;

// True when neither PGHOST nor PGDATABASE is present in the environment.
bool database_environment_missing() noexcept;

}  // namespace scb
