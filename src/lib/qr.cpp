#include "qr.hpp"

#include <optional>

#include "bank.hpp"
#include "config.hpp"
#include "erp_session.hpp"
#include "http.hpp"
#include "readers.hpp"
#include "scb.h"
#include "text.hpp"
#include "token_cache.hpp"

namespace scb {

namespace {

const TokenTexts kAcquisitionTexts = {
    nullptr,
    "[SCB API] Refreshing access token",
    "Failed to refresh SCB access token. Check API credentials.",
    "Failed to extract access token",
    "Failed to parse access token from response",
    true,
    true,
};

const TokenTexts kRenewalTexts = {
    "Refreshing SCB access token after 401 error",
    nullptr,
    "Failed to refresh SCB access token after 401 error.",
    "Failed to extract access token after 401 retry",
    "Failed to parse access token from retry response",
    false,
    false,
};

// The values QR creation takes from the configuration; one longer than its
// limit counts as missing.
struct QrCredentials {
    TokenSource token;
    std::string biller_id;
    std::string qr_create_url;
};

std::string within(const std::string &value, std::size_t limit) { return value.size() <= limit ? value : ""; }

QrCredentials credentials_of(const BankAccountConfig &config) {
    return QrCredentials{
        {within(config.api_key, 255), within(config.api_secret, 255), within(config.urls.token, 511),
         within(config.config_id, 31)},
        within(config.biller_id, 255),
        within(config.urls.qr_create, 511),
    };
}

// The cached token while it has time left, else a new one from the bank.
Outcome<std::string> acquire_token(PGconn *conn, const TokenSource &source) {
    const std::optional<CachedToken> cached = look_up_token(conn, source.config_id);
    if (cached && reusable(*cached)) {
        scb_log_info(
            bounded_format(256, "Using cached access token (valid for %.0f more seconds)", cached->seconds_left)
                .c_str());
        return cached->token;
    }
    if (cached && !cached->token.empty()) {
        scb_log_info(bounded_format(256, "Cached token expired or expiring soon (%.0f seconds), refreshing",
                                    cached->seconds_left)
                         .c_str());
    }
    return renew_token(conn, source, "", kAcquisitionTexts);
}

Outcome<std::string> replace_rejected_token(PGconn *conn, const TokenSource &source, const std::string &rejected) {
    invalidate_token(conn, source.config_id, rejected);
    return renew_token(conn, source, rejected, kRenewalTexts);
}

ScbText create_with(const QrCredentials &credentials, const std::string &token, const QrRequest &request) {
    QrRequest for_account = request;
    for_account.biller_id = credentials.biller_id;
    return create_qr_full(credentials.token.api_key, token, credentials.qr_create_url, for_account);
}

}  // namespace

ScbText create_qr_full(const std::string &api_key, const std::string &access_token, const std::string &qr_create_url,
                       const QrRequest &request) {
    const std::optional<std::string> request_id = new_request_id();
    if (!request_id) {
        return nullptr;
    }
    const HeaderLines headers = {bounded_format(512, "Authorization: Bearer %s", access_token.c_str()),
                                 bounded_format(512, "resourceOwnerId: %s", api_key.c_str()),
                                 bounded_format(1024, "requestUId: %s", request_id->c_str())};
    const std::string amount = amount_text(request.amount);
    const std::string body = json_object_of_strings({{"qrType", "PP"},
                                                     {"ppType", "BILLERID"},
                                                     {"ppId", request.biller_id.c_str()},
                                                     {"amount", amount.c_str()},
                                                     {"ref1", request.ref1.c_str()},
                                                     {"ref2", request.ref2.c_str()},
                                                     {"ref3", request.ref3.c_str()}});
    scb_log_debug(
        bounded_format(2560, "[SCB API] QR create - URL: %s, Body: %s", qr_create_url.c_str(), body.c_str()).c_str());
    const std::optional<HttpReply> reply = post_json(qr_create_url, body, headers);
    if (!reply) {
        scb_log_error("Failed to get response from QR create endpoint");
        return ScbText(scb_create_error_response(9102, "Network error: Failed to connect to SCB QR endpoint."));
    }
    return bank_answer(*reply, "QR creation", "QR code created successfully");
}

ScbText create_qr_by_bank_account(const char *bank_account_id, const QrRequest &request) {
    Outcome<DbSession> session = open_erp_session();
    if (!session) {
        return session.failure();
    }
    PGconn *conn = session->get();
    const std::optional<BankAccountConfig> config = config_for_bank_account(conn, bank_account_id);
    if (!config && connection_lost(conn)) {
        return database_unreachable(kConnectFailedLog);
    }
    if (!config) {
        const std::string message = bounded_format(
            512,
            "No SCB configuration found for bank account ID %s. Verify: 1) Bank account exists, 2) "
            "scb_biller_id is set, 3) SCB API config is active",
            or_empty(bank_account_id));
        scb_log_error(message.c_str());
        return ScbText(scb_create_error_response(9003, message.c_str()));
    }
    const QrCredentials credentials = credentials_of(*config);
    if (credentials.token.api_key.empty() || credentials.token.token_url.empty()) {
        scb_log_error("Failed to parse config from database");
        return ScbText(
            scb_create_error_response(9004, "Invalid SCB API configuration. Missing api_key or token_url."));
    }
    Outcome<std::string> token = acquire_token(conn, credentials.token);
    if (!token) {
        return token.failure();
    }
    ScbText answer = create_with(credentials, *token, request);
    if (!answer || !token_rejected(answer.get())) {
        return answer;
    }
    scb_log_debug("[SCB API] Got 401/9500 error, refreshing token and retrying");
    answer.reset();
    Outcome<std::string> renewed = replace_rejected_token(conn, credentials.token, *token);
    if (!renewed) {
        return renewed.failure();
    }
    scb_log_info("Token refreshed, retrying QR creation");
    return create_with(credentials, *renewed, request);
}

}  // namespace scb
