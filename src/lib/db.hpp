// Database adapter: sessions with the ERP database from the PG* environment
// (kept between operations when SCB_REUSE_CONNECTIONS is on), statements, and
// the owners of libpq's resources.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <libpq-fe.h>

#include "owned.hpp"

namespace scb {

using PgResult = Owned<PGresult, PQclear>;

// A handle that never became a session: released without the close line.
using PgConnHandle = Owned<PGconn, PQfinish>;

// A session from the given connection string, or from the environment when
// it is null or empty; null after logging why it failed.
PGconn *connect_database(const char *conninfo);

// Closes a session with its log line; ignores null.
void close_database(PGconn *conn) noexcept;

// A session of its own from the environment, never kept, with the keepalives
// of kept sessions: it idles while it waits for notifications, and a peer
// gone silently must end the wait. Null after logging why it failed.
PGconn *connect_listening_session();

using PgNotify = Owned<PGnotify, PQfreemem>;

enum class NotificationWait { kArrived, kTimedOut, kInterrupted, kLost };

// The next notification of a listening session, waiting on its socket for
// at most timeout_ms (negative: without end). kTimedOut also when what came
// in was no notification; kInterrupted when a signal cut the wait short;
// kLost when the session is gone.
NotificationWait next_notification(PGconn *conn, int timeout_ms, PgNotify &notification);

// An operation's session from the environment: the thread's kept one when
// reuse is on (checked, and connected again when the server ended it), else a
// new one; null after logging why none could be had.
PGconn *acquire_session();

// Ends an acquire_session session: kept for the next operation, or closed.
void release_session(PGconn *conn) noexcept;

struct SessionRelease {
    void operator()(PGconn *conn) const noexcept { release_session(conn); }
};
using DbSession = std::unique_ptr<PGconn, SessionRelease>;

// Closes the database sessions this process keeps; one lent out closes when it comes back.
void close_kept_sessions() noexcept;

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

// The column's text in every row, in order.
std::vector<std::string> column_texts(const PGresult *result, int column);

// A transaction on a session, rolled back unless committed, so no early
// return leaves the session inside it.
class Transaction {
public:
    explicit Transaction(PGconn *conn);
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    ~Transaction();

    bool begun() const noexcept { return open_; }

    // COMMIT; false when it failed (the server then ended the transaction).
    bool commit();

private:
    PGconn *conn_;
    bool open_;
};

// Whether a TimeZone setting names UTC (under any of its names), so that a
// session needs no SET; false for null.
bool is_utc_zone(const char *zone) noexcept;

// True when neither PGHOST nor PGDATABASE is present in the environment.
bool database_environment_missing() noexcept;

}  // namespace scb
