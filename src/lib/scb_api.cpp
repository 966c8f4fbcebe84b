#include "scb_api.hpp"

#include <cstring>
#include <string>

#include "scb.h"
#include "scb_bank.hpp"
#include "scb_db.hpp"
#include "scb_http.hpp"
#include "scb_readers.hpp"
#include "scb_token_cache.hpp"
#include "text.hpp"

namespace scb {

char *bank_answer(HttpResponse response, const char *label, const char *success_line) {
    if (response->status_code == 200) {
        char *copy = scb_strdup(response->body);
        response.reset();
        if (copy != nullptr) {
            scb_log_info(success_line);
        }
        return copy;
    }
    const std::string message =
        bank_failure_description(label, static_cast<long>(response->status_code), response->body);
    scb_log_error(message.c_str());
    if (std::strstr(response->body, "\"status\"") != nullptr) {
        return scb_strdup(response->body);
    }
    return scb_create_error_response(9103, message.c_str());
}

std::string bank_failure_description(const char *label, long status, const char *body) {
    return bounded_format(512, "%s failed with status %ld. Response: %s", label, status,
                          utf8_prefix(body, 300).c_str());
}

ScbText new_request_id() {
    ScbText request_id(scb_generate_uuid());
    if (!request_id) {
        scb_log_error("Failed to generate request UUID");
    }
    return request_id;
}

namespace {

std::string document_value(const cJSON *document, const char *key, std::size_t limit) {
    const char *value = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(document, key));
    return value != nullptr && std::strlen(value) <= limit ? value : "";
}

}  // namespace

BankAccountConfig read_bank_account_config(const char *document_text) {
    const CJsonTree document(cJSON_Parse(document_text));
    return BankAccountConfig{
        document_value(document.get(), "api_key", 255),   document_value(document.get(), "api_secret", 255),
        document_value(document.get(), "biller_id", 255), document_value(document.get(), "token_url", 511),
        document_value(document.get(), "qr_create_url", 511), document_value(document.get(), "config_id", 31),
    };
}

}  // namespace scb

namespace {

const char *const kEnvironmentMissingLog = "PostgreSQL environment variables not set (PGHOST, PGDATABASE, etc.)";
const char *const kEnvironmentMissing =
    "Database environment variables not configured. Set PGHOST, PGDATABASE, PGUSER, PGPASSWORD.";

// Both operations that read their configuration through the environment's
// database start the same way; a null session comes with the envelope to return.
scb::DbSession open_erp_session(scb::ScbText &failure) {
    if (scb::database_environment_missing()) {
        scb_log_error(kEnvironmentMissingLog);
        failure.reset(scb_create_error_response(9001, kEnvironmentMissing));
        return nullptr;
    }
    scb::DbSession session(scb_db_acquire());
    if (!session) {
        failure.reset(scb::database_unreachable(scb::kConnectFailedLog));
    }
    return session;
}

char *placeholder_qr(const char *config_id, const char *reference, const char *channel, double amount) {
    scb_log_info("QR code creation initiated (stub - needs database integration)");
    char *text = scb::to_c_text(scb::bounded_format(
        512,
        "{\"error\": \"Not implemented\", \"message\": \"Use scb_create_qr_by_bank_account() or "
        "scb_create_qr_full()\", \"reference\": \"%s\", \"amount\": %.2f, \"channel\": \"%s\", "
        "\"config_id\": \"%s\"}",
        scb::or_empty(reference), amount, scb::or_empty(channel), scb::or_empty(config_id)));
    if (text == nullptr) {
        scb_log_error("Failed to allocate memory for QR creation result");
    }
    return text;
}

char *placeholder_payment_check(const char *reference) {
    scb_log_info("Payment status check initiated");
    char *text = scb::to_c_text(
        scb::bounded_format(256, "{\"status\": \"pending\", \"reference\": \"%s\"}", scb::or_empty(reference)));
    if (text == nullptr) {
        scb_log_error("Failed to allocate memory for payment check result");
    }
    return text;
}

char *refresh_token(const char *api_key, const char *api_secret, const char *token_url) {
    scb::ScbText request_id = scb::new_request_id();
    if (!request_id) {
        return nullptr;
    }
    const std::string owner_line = scb::bounded_format(512, "resourceOwnerId: %s", scb::or_empty(api_key));
    const std::string request_line = scb::bounded_format(512, "requestUId: %s", request_id.get());
    const std::string body =
        scb::json_object_of_strings({{"applicationKey", api_key}, {"applicationSecret", api_secret}});
    const std::string masked_body = scb::mask_json_values(body, {"applicationSecret"});
    scb_log_debug(scb::bounded_format(2048, "[SCB API] Token refresh - URL: %s, Body: %s", scb::or_empty(token_url),
                                      masked_body.c_str())
                      .c_str());
    const char *const headers[] = {owner_line.c_str(), request_line.c_str()};
    scb::HttpResponse response(http_post_json(token_url, body.c_str(), headers, 2));
    request_id.reset();
    if (!response) {
        scb_log_error("Failed to get response from token endpoint");
        return scb_create_error_response(9101, "Network error: Failed to connect to SCB token endpoint.");
    }
    if (response->status_code == 200) {
        char *copy = scb_strdup(response->body);
        response.reset();
        if (copy != nullptr) {
            scb_log_info("Token refresh successful");
        }
        return copy;
    }
    const std::string message = scb::bounded_format(
        256, "Token refresh failed with HTTP status %ld. Check API credentials.",
        static_cast<long>(response->status_code));
    scb_log_error(message.c_str());
    return scb_create_error_response(9302, message.c_str());
}

const char *const kConfigByIdSql =
    "SELECT api_key, api_secret, environment FROM scb_api_config WHERE id = $1 AND active = true LIMIT 1";

char *refresh_token_by_config_id(const char *config_id) {
    scb::ScbText failure;
    const scb::DbSession session = open_erp_session(failure);
    if (!session) {
        return failure.release();
    }
    const scb::PgResult result = scb::run_statement(session.get(), kConfigByIdSql, {config_id});
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK || PQntuples(result.get()) == 0) {
        const std::string message =
            PQresultStatus(result.get()) != PGRES_TUPLES_OK
                ? scb::bounded_format(512, "Config query failed: %s", PQerrorMessage(session.get()))
                : scb::bounded_format(256, "No active SCB config found with ID: %s", scb::or_empty(config_id));
        scb_log_error(message.c_str());
        return scb_create_error_response(9002, message.c_str());
    }
    const char *environment = scb::first_row_text(result.get(), 2);
    const scb::BankUrls urls = scb::bank_urls(environment);
    scb_log_info(scb::bounded_format(512, "Refreshing token for config ID=%s, Environment=%s",
                                     scb::or_empty(config_id), environment)
                     .c_str());
    return scb_refresh_token(scb::first_row_text(result.get(), 0), scb::first_row_text(result.get(), 1),
                             urls.token.c_str());
}

char *create_qr_full(const char *api_key, const char *access_token, const char *qr_create_url,
                     const char *biller_id, const char *ref1, const char *ref2, const char *ref3, double amount) {
    scb::ScbText request_id = scb::new_request_id();
    if (!request_id) {
        return nullptr;
    }
    const std::string authorization_line =
        scb::bounded_format(512, "Authorization: Bearer %s", scb::or_empty(access_token));
    const std::string owner_line = scb::bounded_format(512, "resourceOwnerId: %s", scb::or_empty(api_key));
    const std::string request_line = scb::bounded_format(1024, "requestUId: %s", request_id.get());
    const std::string amount_text = scb::amount_text(amount);
    const std::string body = scb::json_object_of_strings({{"qrType", "PP"},
                                                          {"ppType", "BILLERID"},
                                                          {"ppId", biller_id},
                                                          {"amount", amount_text.c_str()},
                                                          {"ref1", ref1},
                                                          {"ref2", ref2},
                                                          {"ref3", ref3}});
    scb_log_debug(scb::bounded_format(2560, "[SCB API] QR create - URL: %s, Body: %s", scb::or_empty(qr_create_url),
                                      body.c_str())
                      .c_str());
    const char *const headers[] = {authorization_line.c_str(), owner_line.c_str(), request_line.c_str()};
    scb::HttpResponse response(http_post_json(qr_create_url, body.c_str(), headers, 3));
    request_id.reset();
    if (!response) {
        scb_log_error("Failed to get response from QR create endpoint");
        return scb_create_error_response(9102, "Network error: Failed to connect to SCB QR endpoint.");
    }
    return scb::bank_answer(std::move(response), "QR creation", "QR code created successfully");
}

const char *const kTokenLookupSql =
    "SELECT access_token, token_expires_at AT TIME ZONE 'UTC' AS expires_utc, EXTRACT(EPOCH FROM "
    "(token_expires_at AT TIME ZONE 'UTC' - NOW() AT TIME ZONE 'UTC')) AS seconds_until_expiry FROM "
    "scb_api_config WHERE id = $1";

const scb::TokenTexts kAcquisitionTexts = {
    nullptr,
    "[SCB API] Refreshing access token",
    "Failed to refresh SCB access token. Check API credentials.",
    "Failed to extract access token",
    "Failed to parse access token from response",
    true,
    true,
};

const scb::TokenTexts kRenewalTexts = {
    "Refreshing SCB access token after 401 error",
    nullptr,
    "Failed to refresh SCB access token after 401 error.",
    "Failed to extract access token after 401 retry",
    "Failed to parse access token from retry response",
    false,
    false,
};

// The cached token while it has time left, else a new one from the bank.
std::optional<std::string> acquire_token(PGconn *conn, const scb::BankAccountConfig &config, scb::ScbText &failure) {
    std::optional<scb::CachedToken> cached;
    {
        const scb::PgResult lookup = scb::run_statement(conn, kTokenLookupSql, {config.config_id.c_str()});
        cached = scb::cached_token(lookup.get(), 0, 2);
    }
    if (cached && scb::reusable(*cached)) {
        scb_log_info(scb::bounded_format(256, "Using cached access token (valid for %.0f more seconds)",
                                         cached->seconds_left)
                         .c_str());
        return cached->token;
    }
    if (cached && !cached->token.empty()) {
        scb_log_info(scb::bounded_format(256, "Cached token expired or expiring soon (%.0f seconds), refreshing",
                                         cached->seconds_left)
                         .c_str());
    }
    return scb::fetch_and_store_token(conn, config.api_key.c_str(), config.api_secret.c_str(),
                                      config.token_url.c_str(), config.config_id.c_str(), kAcquisitionTexts,
                                      failure);
}

std::optional<std::string> renew_token(PGconn *conn, const scb::BankAccountConfig &config,
                                       const std::string &rejected, scb::ScbText &failure) {
    scb::invalidate_token(conn, config.config_id.c_str(), rejected);
    return scb::fetch_and_store_token(conn, config.api_key.c_str(), config.api_secret.c_str(),
                                      config.token_url.c_str(), config.config_id.c_str(), kRenewalTexts, failure);
}

char *create_qr_with_config(const scb::BankAccountConfig &config, const std::string &token, const char *ref1,
                            const char *ref2, const char *ref3, double amount) {
    return scb_create_qr_full(config.api_key.c_str(), token.c_str(), config.qr_create_url.c_str(),
                              config.biller_id.c_str(), ref1, ref2, ref3, amount);
}

char *create_qr_by_bank_account(const char *bank_account_id, const char *ref1, const char *ref2,
                                const char *ref3, double amount) {
    scb::ScbText failure;
    const scb::DbSession session = open_erp_session(failure);
    if (!session) {
        return failure.release();
    }
    const scb::ScbText document(scb_db_get_config_by_bank(session.get(), bank_account_id));
    if (!document && scb::connection_lost(session.get())) {
        return scb::database_unreachable(scb::kConnectFailedLog);
    }
    if (!document) {
        const std::string message = scb::bounded_format(
            512,
            "No SCB configuration found for bank account ID %s. Verify: 1) Bank account exists, 2) "
            "scb_biller_id is set, 3) SCB API config is active",
            scb::or_empty(bank_account_id));
        scb_log_error(message.c_str());
        return scb_create_error_response(9003, message.c_str());
    }
    const scb::BankAccountConfig config = scb::read_bank_account_config(document.get());
    if (config.api_key.empty() || config.token_url.empty()) {
        scb_log_error("Failed to parse config from database");
        return scb_create_error_response(9004, "Invalid SCB API configuration. Missing api_key or token_url.");
    }
    const std::optional<std::string> token = acquire_token(session.get(), config, failure);
    if (!token) {
        return failure.release();
    }
    scb::ScbText answer(create_qr_with_config(config, *token, ref1, ref2, ref3, amount));
    if (!answer || !scb::token_rejected(answer.get())) {
        return answer.release();
    }
    scb_log_debug("[SCB API] Got 401/9500 error, refreshing token and retrying");
    answer.reset();
    const std::optional<std::string> renewed = renew_token(session.get(), config, *token, failure);
    if (!renewed) {
        return failure.release();
    }
    scb_log_info("Token refreshed, retrying QR creation");
    return create_qr_with_config(config, *renewed, ref1, ref2, ref3, amount);
}

}  // namespace

extern "C" {

char *scb_create_qr_impl(const char *config_id, const char *reference, const char *channel, double amount) noexcept {
    return scb::guarded<char *>(nullptr, [&] { return placeholder_qr(config_id, reference, channel, amount); });
}

char *scb_check_payment_impl(const char *reference) noexcept {
    return scb::guarded<char *>(nullptr, [&] { return placeholder_payment_check(reference); });
}

char *scb_refresh_token(const char *api_key, const char *api_secret, const char *token_url) noexcept {
    return scb::guarded<char *>(nullptr, [&] { return refresh_token(api_key, api_secret, token_url); });
}

char *scb_refresh_token_by_config_id(const char *config_id) noexcept {
    return scb::guarded<char *>(nullptr, [&] { return refresh_token_by_config_id(config_id); });
}

char *scb_create_qr_full(const char *api_key, const char *access_token, const char *qr_create_url,
                         const char *biller_id, const char *ref1, const char *ref2, const char *ref3,
                         double amount) noexcept {
    return scb::guarded<char *>(nullptr, [&] {
        return create_qr_full(api_key, access_token, qr_create_url, biller_id, ref1, ref2, ref3, amount);
    });
}

void scb_close_connections(void) noexcept {
    scb::close_kept_sessions();
    scb::close_kept_bank_connections();
}

char *scb_create_qr_by_bank_account(const char *bank_account_id, const char *ref1, const char *ref2,
                                    const char *ref3, double amount) noexcept {
    return scb::guarded<char *>(nullptr, [&] { return create_qr_by_bank_account(bank_account_id, ref1, ref2, ref3, amount); });
}

}  // extern "C"
