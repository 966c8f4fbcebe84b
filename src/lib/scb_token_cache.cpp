#include "scb_token_cache.hpp"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "scb.h"
#include "scb_db.hpp"
#include "text.hpp"

namespace scb {

namespace {

constexpr double kReuseMarginSeconds = 300.0;
constexpr int32_t kDefaultLifetimeSeconds = 1800;
constexpr int32_t kTokenFailureCode = 9301;

const char *const kStoreSql =
    "UPDATE scb_api_config SET access_token = $1, token_expires_at = NOW() AT TIME ZONE 'UTC' + ($2 || "
    "' seconds')::INTERVAL WHERE id = $3";
// Only the token that was rejected: another caller may have stored a fresh one meanwhile.
const char *const kInvalidateSql =
    "UPDATE scb_api_config SET access_token = NULL, token_expires_at = NULL WHERE id = $1 AND access_token = $2";

const char *skip_chars(const char *text, const char *skipped) noexcept {
    while (*text != '\0' && std::strchr(skipped, *text) != nullptr) {
        ++text;
    }
    return text;
}

// The text right after the first colon that follows the first occurrence of key.
const char *after_key_colon(const char *document, const char *key) noexcept {
    const char *found = std::strstr(document, key);
    const char *colon = found != nullptr ? std::strchr(found, ':') : nullptr;
    return colon != nullptr ? colon + 1 : nullptr;
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

bool reusable(const CachedToken &cached) noexcept {
    return !cached.token.empty() && cached.seconds_left > kReuseMarginSeconds;
}

std::optional<std::string> extract_access_token(const char *document) {
    const char *value = after_key_colon(or_empty(document), "\"accessToken\"");
    if (value == nullptr) {
        return std::nullopt;
    }
    value = skip_chars(value, " \t\n\r");
    if (*value != '"') {
        return std::nullopt;
    }
    const char *end = std::strchr(value + 1, '"');
    if (end == nullptr) {
        return std::nullopt;
    }
    const std::string_view token(value + 1, static_cast<std::size_t>(end - value - 1));
    // The token goes out in a header line, where a line break would start a header of the bank's choosing.
    if (token.empty() || token.size() > kMaxTokenLength || has_control_character(token)) {
        return std::nullopt;
    }
    return std::string(token);
}

int32_t extract_lifetime(const char *document) noexcept {
    const char *value = after_key_colon(or_empty(document), "\"expiresIn\"");
    if (value == nullptr) {
        return kDefaultLifetimeSeconds;
    }
    const long long seconds = std::strtoll(skip_chars(value, " \t"), nullptr, 10);
    if (seconds > INT32_MAX) {
        return INT32_MAX;
    }
    if (seconds < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(seconds);
}

PgResult store_token(PGconn *conn, const std::string &token, int32_t lifetime, const char *config_id) {
    const std::string seconds = format_text("%d", lifetime);
    return run_statement(conn, kStoreSql, {token.c_str(), seconds.c_str(), config_id});
}

void invalidate_token(PGconn *conn, const char *config_id, const std::string &rejected) {
    (void)run_statement(conn, kInvalidateSql, {config_id, rejected.c_str()});
}

bool token_rejected(const char *document) noexcept {
    const char *search = or_empty(document);
    // The closing quote of one "code" may open the next, so the search
    // goes on from the byte after the opening quote.
    while ((search = std::strstr(search, "\"code\"")) != nullptr) {
        const char *value = skip_chars(search + 6, " \t\n\r");
        ++search;
        if (*value != ':') {
            continue;
        }
        value = skip_chars(value + 1, " \t\n\r");
        if (std::strncmp(value, "9500", 4) == 0 && !std::isdigit(static_cast<unsigned char>(value[4]))) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> fetch_and_store_token(PGconn *conn, const char *api_key, const char *api_secret,
                                                 const char *token_url, const char *config_id,
                                                 const TokenTexts &texts, ScbText &failure) {
    if (texts.info_before != nullptr) {
        scb_log_info(texts.info_before);
    }
    if (texts.debug_before != nullptr) {
        scb_log_debug(texts.debug_before);
    }
    ScbText answer(scb_refresh_token(api_key, api_secret, token_url));
    if (!answer) {
        failure.reset(scb_create_error_response(kTokenFailureCode, texts.no_response));
        return std::nullopt;
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
        failure.reset(scb_create_error_response(kTokenFailureCode, texts.no_token));
        return std::nullopt;
    }
    const PgResult stored = store_token(conn, *token, lifetime, config_id);
    if (texts.report_store && command_ok(stored.get())) {
        scb_log_info(bounded_format(256, "Access token cached in database (expires in %d seconds)", lifetime).c_str());
    } else if (texts.report_store) {
        scb_log_error("Failed to cache token in database (non-fatal)");
    }
    return token;
}

}  // namespace scb
