#include "db.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keeper.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace {

constexpr std::size_t kConninfoLimit = 1023;
constexpr std::size_t kMessageLimit = 512;

struct EnvironmentKey {
    const char *variable;
    const char *keyword;
};

const EnvironmentKey kConnectionKeys[] = {
    {"PGHOST", "host"}, {"PGPORT", "port"}, {"PGDATABASE", "dbname"},
    {"PGUSER", "user"}, {"PGPASSWORD", "password"},
};

// Single quotes around every value, so blanks, quotes and backslashes in the
// environment can neither split a value nor add another keyword.
std::string quoted_value(const char *value) {
    std::string quoted = "'";
    for (const char *c = value; *c != '\0'; ++c) {
        if (*c == '\'' || *c == '\\') {
            quoted += '\\';
        }
        quoted += *c;
    }
    return quoted + "'";
}

std::string conninfo_from_environment() {
    std::string conninfo;
    for (const EnvironmentKey &key : kConnectionKeys) {
        const char *value = std::getenv(key.variable);
        if (value != nullptr) {
            conninfo += std::string(key.keyword) + "=" + quoted_value(value) + " ";
        }
    }
    return conninfo.empty() ? "dbname=halvenor" : conninfo;
}

void log_connect_failure(const char *reason) {
    scb_log_error(scb::bounded_format(kMessageLimit, "Database connection failed: %s", reason).c_str());
}

// Sessions run in UTC so the token expiry arithmetic and the timestamps the
// module writes do not depend on the server's time zone, PGTZ or PGOPTIONS.
// The zone is set after connecting, not asked for in the startup packet:
// connection poolers refuse startup options, and they track TimeZone per
// client, so the setting follows the session through transaction pooling.
bool session_in_utc(PGconn *conn) {
    if (scb::is_utc_zone(PQparameterStatus(conn, "TimeZone"))) {
        return true;
    }
    const scb::PgResult result(PQexec(conn, scb::sql::kSessionInUtc));
    return PQresultStatus(result.get()) == PGRES_COMMAND_OK;
}

// A kept session may sit idle for a long time; a peer that a firewall or NAT
// forgot silently is found by keepalives, and unacknowledged writes give up
// after the user timeout, instead of after the system's ~15 minutes of TCP
// retries. The settings come before the connection string, which may override them.
const char *const kKeptSessionKeywords[] = {"keepalives", "keepalives_idle", "keepalives_interval",
                                            "keepalives_count", "tcp_user_timeout"};
const char *const kKeptSessionValues[] = {"1", "60", "10", "3", "30000"};
constexpr std::size_t kKeptSessionSettings = sizeof kKeptSessionKeywords / sizeof kKeptSessionKeywords[0];

PGconn *open_session(const std::string &conninfo, bool kept) {
    std::vector<const char *> keywords;
    std::vector<const char *> values;
    if (kept) {
        keywords.assign(kKeptSessionKeywords, kKeptSessionKeywords + kKeptSessionSettings);
        values.assign(kKeptSessionValues, kKeptSessionValues + kKeptSessionSettings);
    }
    keywords.insert(keywords.end(), {"dbname", nullptr});
    values.insert(values.end(), {conninfo.c_str(), nullptr});
    scb::PgConnHandle conn(PQconnectdbParams(keywords.data(), values.data(), 1));
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        log_connect_failure(conn ? PQerrorMessage(conn.get()) : "out of memory");
        return nullptr;
    }
    if (!session_in_utc(conn.get())) {
        log_connect_failure(PQerrorMessage(conn.get()));
        return nullptr;
    }
    scb_log_info("Database connection successful");
    return conn.release();
}

PGconn *connect_from_environment(const std::string &conninfo, bool kept) {
    scb_log_info("Connecting to PostgreSQL");
    if (conninfo.size() > kConninfoLimit) {
        log_connect_failure("connection settings from the environment are too long");
        return nullptr;
    }
    return open_session(conninfo, kept);
}

struct SessionTraits {
    using Resource = PGconn;
    static void close(PGconn *conn) noexcept { scb::close_database(conn); }
    // A failed or interrupted statement must not leave a transaction behind for the next operation.
    static bool reusable(PGconn *conn) noexcept {
        return PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE;
    }
    static void abandon(PGconn *conn) noexcept {
        const int socket = PQsocket(conn);
        if (socket >= 0) {
            ::close(socket);
        }
    }
};
using SessionKeeper = scb::Keeper<SessionTraits>;

// The kept connection lent to this thread's operation, until its first
// statement has shown that the server still holds the session.
thread_local PGconn *t_unproven = nullptr;

// A server restart or an idle timeout ends a kept session unseen. The same
// handle connects again with the settings it was opened with.
bool reconnect(PGconn *conn) {
    scb_log_info("Kept database connection was lost, reconnecting");
    PQreset(conn);
    if (PQstatus(conn) != CONNECTION_OK || !session_in_utc(conn)) {
        log_connect_failure(PQerrorMessage(conn));
        return false;
    }
    scb_log_info("Database connection successful");
    return true;
}

scb::PgResult execute(PGconn *conn, const char *sql, const std::vector<const char *> &values) {
    return scb::PgResult(PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                      nullptr, 0));
}

// Whether the server ended an idle kept session: it then sent its last
// message or closed the socket, which a poll without waiting sees with no
// round trip. An idle session has nothing else to read.
bool ended_by_server(PGconn *conn) noexcept {
    if (PQstatus(conn) != CONNECTION_OK) {
        return true;
    }
    pollfd watched{PQsocket(conn), POLLIN | POLLRDHUP, 0};
    return watched.fd < 0 || poll(&watched, 1, 0) != 0;
}

// The thread's kept session, connected again when the server ended it; null
// (and no longer kept) when that fails, so the operation reports a lost
// database rather than a missing configuration.
PGconn *lend_kept_session(SessionKeeper &keeper, PGconn *kept) {
    if (ended_by_server(kept) && !reconnect(kept)) {
        (void)keeper.discard(kept);
        return nullptr;
    }
    scb_log_debug("Reusing kept database connection");
    t_unproven = kept;
    return kept;
}

}  // namespace

namespace scb {

// The names PostgreSQL's zone database gives UTC itself (many images default
// to Etc/UTC); any other zone, even one at offset zero, still gets the SET.
bool is_utc_zone(const char *zone) noexcept {
    static const char *const kUtcNames[] = {"UTC", "Etc/UTC", "Etc/UCT", "Etc/Universal",
                                            "Etc/Zulu", "UCT", "Universal", "Zulu"};
    for (const char *name : kUtcNames) {
        if (zone != nullptr && std::strcmp(zone, name) == 0) {
            return true;
        }
    }
    return false;
}

PGconn *acquire_session() {
    const std::string conninfo = conninfo_from_environment();
    if (!scb::reuse_connections()) {
        return connect_from_environment(conninfo, false);
    }
    SessionKeeper &keeper = SessionKeeper::instance();
    if (PGconn *kept = keeper.borrow(conninfo)) {
        return lend_kept_session(keeper, kept);
    }
    PGconn *conn = connect_from_environment(conninfo, true);
    // One not kept (the thread already lends one out) is closed when released.
    if (conn != nullptr) {
        (void)keeper.keep(conninfo, conn);
    }
    return conn;
}

PGconn *connect_database(const char *conninfo) {
    if (conninfo != nullptr && conninfo[0] != '\0') {
        return open_session(conninfo, false);
    }
    return connect_from_environment(conninfo_from_environment(), false);
}

void close_database(PGconn *conn) noexcept {
    if (conn == nullptr) {
        return;
    }
    PgConnHandle(conn).reset();
    scb_log_info("Database connection closed");
}

PGconn *connect_listening_session() {
    return connect_from_environment(conninfo_from_environment(), true);
}

NotificationWait next_notification(PGconn *conn, int timeout_ms, PgNotify &notification) {
    notification.reset(PQnotifies(conn));
    if (notification) {
        return NotificationWait::kArrived;
    }
    pollfd watched{PQsocket(conn), POLLIN, 0};
    if (watched.fd < 0) {
        return NotificationWait::kLost;
    }
    const int ready = poll(&watched, 1, timeout_ms);
    if (ready == 0) {
        return NotificationWait::kTimedOut;
    }
    if (ready < 0) {
        return errno == EINTR ? NotificationWait::kInterrupted : NotificationWait::kLost;
    }
    // A terminated backend or a dropped peer makes the socket readable, and reading it fails.
    if (PQconsumeInput(conn) == 0 || PQstatus(conn) != CONNECTION_OK) {
        return NotificationWait::kLost;
    }
    notification.reset(PQnotifies(conn));
    return notification ? NotificationWait::kArrived : NotificationWait::kTimedOut;
}

void release_session(PGconn *conn) noexcept {
    if (conn == nullptr) {
        return;
    }
    if (t_unproven == conn) {
        t_unproven = nullptr;
    }
    if (!SessionKeeper::instance().give_back(conn)) {
        close_database(conn);
    }
}

PgResult run_statement(PGconn *conn, const char *sql, std::initializer_list<const char *> params) {
    const std::vector<const char *> values(params);
    const bool first_on_kept = conn != nullptr && conn == t_unproven;
    if (first_on_kept) {
        t_unproven = nullptr;
    }
    PgResult result = execute(conn, sql, values);
    // A dead kept session was idle: the statement reached no server, so it can run again.
    if (first_on_kept && PQstatus(conn) == CONNECTION_BAD && reconnect(conn)) {
        result = execute(conn, sql, values);
    }
    return result;
}

bool connection_lost(const PGconn *conn) noexcept {
    return PQstatus(conn) == CONNECTION_BAD;
}

bool has_rows(const PGresult *result) noexcept {
    return PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0;
}

bool command_ok(const PGresult *result) noexcept {
    return PQresultStatus(result) == PGRES_COMMAND_OK;
}

const char *first_row_text(const PGresult *result, int column) noexcept {
    return PQgetvalue(result, 0, column);
}

std::vector<std::string> column_texts(const PGresult *result, int column) {
    std::vector<std::string> texts;
    for (int row = 0; row < PQntuples(result); ++row) {
        texts.emplace_back(PQgetvalue(result, row, column));
    }
    return texts;
}

Transaction::Transaction(PGconn *conn) : conn_(conn), open_(command_ok(run_statement(conn, sql::kBegin, {}).get())) {}

Transaction::~Transaction() {
    if (open_) {
        (void)PgResult(PQexec(conn_, sql::kRollback));
    }
}

bool Transaction::commit() {
    open_ = false;
    return command_ok(run_statement(conn_, sql::kCommit, {}).get());
}

bool database_environment_missing() noexcept {
    return std::getenv("PGHOST") == nullptr && std::getenv("PGDATABASE") == nullptr;
}

void close_kept_sessions() noexcept {
    SessionKeeper::instance().close_all();
}

}  // namespace scb
