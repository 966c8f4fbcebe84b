// The access token cached in the configuration row (scb_api_config), shared
// by QR creation for a bank account and the bill-payment inquiry. The two
// differ only in their log lines and failure texts, given as TokenTexts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db.hpp"
#include "outcome.hpp"

namespace scb {

// A cached token with the seconds the database says it has left.
struct CachedToken {
    std::string token;
    double seconds_left = 0.0;
};

// Reads the token and the remaining seconds out of row 0 of a lookup result;
// nothing when the statement failed or found no row.
std::optional<CachedToken> cached_token(const PGresult *result, int token_column, int seconds_column);

// The cached token of a configuration, by its own lookup statement.
std::optional<CachedToken> look_up_token(PGconn *conn, const std::string &config_id);

// Strictly more than the reuse margin left, and a token at all.
bool reusable(const CachedToken &cached) noexcept;

PgResult store_token(PGconn *conn, const std::string &token, int32_t lifetime, const std::string &config_id);

// Clears the cached token if it is still the rejected one.
void invalidate_token(PGconn *conn, const std::string &config_id, const std::string &rejected);

// What one way of fetching a new token writes and answers. Null lines are
// not written.
struct TokenTexts {
    const char *info_before;         // info line before the request
    const char *debug_before;        // debug line before the request
    const char *no_response;         // 9301 description: the token request gave no text
    const char *no_token_log;        // error line: no token in the answer
    const char *no_token;            // 9301 description: no token in the answer
    bool confirm_success;            // "Token refresh successful" once an answer came
    bool report_store;               // log whether the token was stored
};

// Where a new token comes from and which row caches it.
struct TokenSource {
    std::string api_key;
    std::string api_secret;
    std::string token_url;
    std::string config_id;
};

// Requests a token, extracts it and stores it in the configuration row; on
// failure the envelope to return.
Outcome<std::string> fetch_and_store_token(PGconn *conn, const TokenSource &source, const TokenTexts &texts);

// A new token when the cached one is stale or was rejected (`rejected`; empty
// when none was), renewed by one caller at a time across threads, processes
// and machines: under the configuration's renewal lock the cached token is
// read again, and one another caller stored meanwhile (usable, and not the
// rejected one) is taken without asking the bank; else the bank is asked and
// the new token stored before the lock is released. A caller that waits
// longer than the lock timeout, or cannot take the lock, renews on its own.
Outcome<std::string> renew_token(PGconn *conn, const TokenSource &source, const std::string &rejected,
                                 const TokenTexts &texts);

}  // namespace scb
