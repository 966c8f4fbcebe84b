#include "token_cache.hpp"

#include <cstdlib>

#include "readers.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"
#include "token_endpoint.hpp"

namespace scb {

namespace {

constexpr double kReuseMarginSeconds = 300.0;
constexpr int32_t kTokenFailureCode = 9301;

enum LookupColumn { kToken, kExpiresUtc, kSecondsLeft };

// Takes the configuration's renewal lock inside `renewal`; false after
// logging why when it could not be had.
bool lock_renewal(PGconn *conn, const Transaction &renewal, const std::string &config_id) {
    if (!renewal.begun() || !command_ok(run_statement(conn, sql::kRenewalLockTimeout, {}).get())) {
        scb_log_error("Could not start the token renewal transaction, renewing without the lock");
        return false;
    }
    const PgResult locked = run_statement(conn, sql::kRenewalLock, {config_id.c_str()});
    if (PQresultStatus(locked.get()) != PGRES_TUPLES_OK) {
        scb_log_error(bounded_format(512, "Token renewal lock not granted, renewing without it: %s",
                                     PQerrorMessage(conn))
                          .c_str());
        return false;
    }
    return true;
}

Outcome<std::string> token_failure(const char *description) {
    return Outcome<std::string>::failed(ScbText(scb_create_error_response(kTokenFailureCode, description)));
}

// Holding the lock: a token another caller stored meanwhile, else a new one
// from the bank, stored before the lock goes with the transaction.
Outcome<std::string> renew_under_lock(PGconn *conn, Transaction &renewal, const TokenSource &source,
                                      const std::string &rejected, const TokenTexts &texts) {
    const std::optional<CachedToken> cached = look_up_token(conn, source.config_id);
    if (cached && reusable(*cached) && cached->token != rejected) {
        (void)renewal.commit();
        scb_log_info(bounded_format(256, "Using access token renewed by another caller (valid for %.0f more seconds)",
                                    cached->seconds_left)
                         .c_str());
        return cached->token;
    }
    Outcome<std::string> renewed = fetch_and_store_token(conn, source, texts);
    (void)renewal.commit();
    return renewed;
}

}  // namespace

std::optional<CachedToken> cached_token(const PGresult *result, int token_column, int seconds_column) {
    if (!has_rows(result)) {
        return std::nullopt;
    }
    CachedToken cached;
    cached.token = utf8_prefix(first_row_text(result, token_column), kMaxTokenLength);
    cached.seconds_left = std::strtod(first_row_text(result, seconds_column), nullptr);
    return cached;
}

std::optional<CachedToken> look_up_token(PGconn *conn, const std::string &config_id) {
    const PgResult lookup = run_statement(conn, sql::kTokenLookup, {config_id.c_str()});
    return cached_token(lookup.get(), kToken, kSecondsLeft);
}

bool reusable(const CachedToken &cached) noexcept {
    return !cached.token.empty() && cached.seconds_left > kReuseMarginSeconds;
}

PgResult store_token(PGconn *conn, const std::string &token, int32_t lifetime, const std::string &config_id) {
    const std::string seconds = format_text("%d", lifetime);
    return run_statement(conn, sql::kTokenStore, {token.c_str(), seconds.c_str(), config_id.c_str()});
}

void invalidate_token(PGconn *conn, const std::string &config_id, const std::string &rejected) {
    (void)run_statement(conn, sql::kTokenInvalidate, {config_id.c_str(), rejected.c_str()});
}

Outcome<std::string> fetch_and_store_token(PGconn *conn, const TokenSource &source, const TokenTexts &texts) {
    if (texts.info_before != nullptr) {
        scb_log_info(texts.info_before);
    }
    if (texts.debug_before != nullptr) {
        scb_log_debug(texts.debug_before);
    }
    ScbText answer = request_token(source.api_key, source.api_secret, source.token_url);
    if (!answer) {
        return token_failure(texts.no_response);
    }
    if (texts.confirm_success) {
        scb_log_info("Token refresh successful");
    }
    std::optional<std::string> token = extract_access_token(answer.get());
    const int32_t lifetime = extract_lifetime(answer.get());
    answer.reset();
    if (!token) {
        if (texts.no_token_log != nullptr) {
            scb_log_error(texts.no_token_log);
        }
        return token_failure(texts.no_token);
    }
    const PgResult stored = store_token(conn, *token, lifetime, source.config_id);
    if (texts.report_store && command_ok(stored.get())) {
        scb_log_info(bounded_format(256, "Access token cached in database (expires in %d seconds)", lifetime).c_str());
    } else if (texts.report_store) {
        scb_log_error("Failed to cache token in database (non-fatal)");
    }
    return std::move(*token);
}

Outcome<std::string> renew_token(PGconn *conn, const TokenSource &source, const std::string &rejected,
                                 const TokenTexts &texts) {
    {
        Transaction renewal(conn);
        if (lock_renewal(conn, renewal, source.config_id)) {
            return renew_under_lock(conn, renewal, source, rejected, texts);
        }
    }
    return fetch_and_store_token(conn, source, texts);
}

}  // namespace scb
