// The access token cached in the configuration row (scb_api_config), shared
// by QR creation for a bank account and the bill-payment inquiry. The two
// differ only in their log lines and failure texts, given as TokenTexts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "owners.hpp"

namespace scb {

constexpr std::size_t kMaxTokenLength = 255;

// A cached token with the seconds the database says it has left.
struct CachedToken {
    std::string token;
    double seconds_left = 0.0;
};

// Reads the token and the remaining seconds out of row 0 of a lookup result;
// nothing when the statement failed or found no row.
std::optional<CachedToken> cached_token(const PGresult *result, int token_column, int seconds_column);

// Strictly more than the reuse margin left, and a token at all.
bool reusable(const CachedToken &cached) noexcept;

// The quoted value after the first "accessToken" of a token answer; nothing
// when it is absent, not a quoted text, empty, longer than 255 characters or
// holding a control character.
std::optional<std::string> extract_access_token(const char *document);

// The integer after the first "expiresIn", clamped to 32 bits; 1800 when the
// key is absent.
int32_t extract_lifetime(const char *document) noexcept;

PgResult store_token(PGconn *conn, const std::string &token, int32_t lifetime, const char *config_id);
// Clears the cached token if it is still the rejected one.
void invalidate_token(PGconn *conn, const char *config_id, const std::string &rejected);

// The bank's rejection of a token: "code" then 9500, whatever white space
// stands around the colon, and not followed by further digits.
bool token_rejected(const char *document) noexcept;

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

// Requests a token, extracts it and stores it in the configuration row.
// On failure the envelope to return goes to `failure` (null when even that
// could not be made) and nothing is returned.
std::optional<std::string> fetch_and_store_token(PGconn *conn, const char *api_key, const char *api_secret,
                                                 const char *token_url, const char *config_id,
                                                 const TokenTexts &texts, ScbText &failure);

}  // namespace scb
