#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "scb.h"
#include "scb_api.hpp"
#include "scb_bank.hpp"
#include "scb_db.hpp"
#include "scb_http.hpp"
#include "scb_token_cache.hpp"
#include "text.hpp"

namespace {

const char *const kConfigSql =
    "SELECT api_key, api_secret, environment, access_token, token_expires_at AT TIME ZONE 'UTC' AS "
    "expires_utc, EXTRACT(EPOCH FROM (token_expires_at AT TIME ZONE 'UTC' - NOW() AT TIME ZONE 'UTC')) AS "
    "seconds_until_expiry FROM scb_api_config WHERE id = $1 AND active = true";
const char *const kRetryConfigSql = "SELECT api_key, api_secret FROM scb_api_config WHERE id = $1 AND active = true";

enum ConfigColumn { kApiKey, kApiSecret, kEnvironment, kAccessToken, kExpiresUtc, kSecondsLeft };

// The POST form's URL lives in a 2,048-byte buffer.
constexpr std::size_t kPostUrlLimit = 2047;

const scb::TokenTexts kFirstTokenTexts = {
    nullptr, "[SCB API] Refreshing access token for payment inquiry", "Failed to refresh SCB access token", nullptr,
    "Failed to parse access token", false, false,
};

const scb::TokenTexts kRetryTokenTexts = {
    nullptr, "[SCB API] Refreshing token after 401 error", "Failed to refresh token after 401", nullptr,
    "Failed to parse new token", false, false,
};

struct InquiryTarget {
    std::string api_key;     // cut copy, as sent in resourceOwnerId
    std::string token_url;
    std::string inquiry_url;
    bool get_form = false;
};

struct Pair {
    const char *key;
    std::string value;
};

bool given(const char *text) noexcept { return text != nullptr && text[0] != '\0'; }

// The bank keeps transaction dates in Thailand's time (UTC+07:00, no daylight
// saving); today's date in UTC is still yesterday there until 07:00.
constexpr std::time_t kThailandOffsetSeconds = 7 * 60 * 60;

std::string today_in_thailand() {
    const std::time_t now = std::time(nullptr) + kThailandOffsetSeconds;
    std::tm thailand{};
    char date[16] = "";
    if (gmtime_r(&now, &thailand) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%d", &thailand);
    }
    return date;
}

// Pairs in the bank's order; empty when neither a transaction reference nor
// both biller id and first reference are given.
std::vector<Pair> inquiry_pairs(const char *transaction_ref, const char *biller_id, const char *reference1,
                                const char *reference2, const char *amount, const char *transaction_date) {
    const std::string date = given(transaction_date) ? transaction_date : today_in_thailand();
    if (given(transaction_ref)) {
        return {{"eventCode", "00300104"}, {"partnerTransactionId", transaction_ref}, {"transactionDate", date}};
    }
    if (!given(biller_id) || !given(reference1)) {
        return {};
    }
    std::vector<Pair> pairs = {{"eventCode", "00300100"}, {"billerId", biller_id}, {"reference1", reference1}};
    if (given(reference2)) {
        pairs.push_back({"reference2", reference2});
    }
    if (given(amount)) {
        pairs.push_back({"amount", amount});
    }
    pairs.push_back({"transactionDate", date});
    return pairs;
}

// One attempt: nothing when no request identifier could be made (nothing is
// sent), else the exchange, null when none completed.
std::optional<scb::HttpResponse> send_inquiry(const InquiryTarget &target, const std::vector<Pair> &pairs,
                                              const std::string &token) {
    const scb::ScbText request_id = scb::new_request_id();
    if (!request_id) {
        return std::nullopt;
    }
    const std::string authorization_line = scb::bounded_format(1024, "Authorization: Bearer %s", token.c_str());
    const std::string owner_line = scb::bounded_format(512, "resourceOwnerId: %s", target.api_key.c_str());
    const std::string request_line = scb::bounded_format(512, "requestUId: %s", request_id.get());
    const char *const headers[] = {authorization_line.c_str(), owner_line.c_str(), request_line.c_str(),
                                   "Accept-Language: EN"};
    std::vector<const char *> keys;
    std::vector<const char *> values;
    for (const Pair &pair : pairs) {
        keys.push_back(pair.key);
        values.push_back(pair.value.c_str());
    }
    const int32_t count = static_cast<int32_t>(pairs.size());
    if (target.get_form) {
        return scb::HttpResponse(http_get_with_params(target.inquiry_url.c_str(), keys.data(), values.data(), count,
                                                      headers, 4));
    }
    const std::size_t room = target.inquiry_url.size() < kPostUrlLimit ? kPostUrlLimit - target.inquiry_url.size() : 0;
    const std::optional<std::string> url =
        scb::url_with_query(target.inquiry_url.c_str(), keys.data(), values.data(), count, room);
    if (!url) {
        scb_log_error("Failed to build URL with parameters");
        return scb::HttpResponse();
    }
    return scb::HttpResponse(http_post_json(url->c_str(), "", headers, 4));
}

// Configuration and token on a connection closed before any inquiry goes out.
std::optional<std::string> configuration_and_token(const char *config_id, InquiryTarget &target,
                                                   scb::ScbText &failure) {
    const char *const unreachable = "Failed to connect to PostgreSQL for payment inquiry";
    const scb::DbSession session(scb_db_acquire());
    if (!session) {
        failure.reset(scb::database_unreachable(unreachable));
        return std::nullopt;
    }
    const scb::PgResult row = scb::run_statement(session.get(), kConfigSql, {config_id});
    if (!scb::has_rows(row.get()) && scb::connection_lost(session.get())) {
        failure.reset(scb::database_unreachable(unreachable));
        return std::nullopt;
    }
    if (!scb::has_rows(row.get())) {
        scb_log_error("Failed to get SCB config for payment inquiry");
        failure.reset(scb_create_error_response(9003, "SCB configuration not found or inactive"));
        return std::nullopt;
    }
    auto text = [&row](int column) { return scb::first_row_text(row.get(), column); };
    target.api_key = scb::utf8_prefix(text(kApiKey), 255);
    const std::string api_secret = scb::utf8_prefix(text(kApiSecret), 255);
    const std::string environment = scb::utf8_prefix(text(kEnvironment), 31);
    const scb::BankUrls urls = scb::bank_urls(environment.c_str());
    target.token_url = urls.token;
    target.inquiry_url = urls.inquiry;
    target.get_form = environment == "sandbox";
    const std::optional<scb::CachedToken> cached = scb::cached_token(row.get(), kAccessToken, kSecondsLeft);
    if (cached && scb::reusable(*cached)) {
        scb_log_info(scb::bounded_format(256, "Using cached access token (valid for %.0f more seconds)",
                                         cached->seconds_left)
                         .c_str());
        return cached->token;
    }
    return scb::fetch_and_store_token(session.get(), target.api_key.c_str(), api_secret.c_str(),
                                      target.token_url.c_str(), config_id, kFirstTokenTexts, failure);
}

// After a rejected token: a new connection, key and secret read again, a new
// token stored, and the connection closed again.
std::optional<std::string> token_after_rejection(const char *config_id, const InquiryTarget &target,
                                                 scb::ScbText &failure) {
    const scb::DbSession session(scb_db_acquire());
    if (!session) {
        scb_log_error("Failed to reconnect to database for token refresh");
        failure.reset(scb_create_error_response(9002, "Failed to reconnect to database"));
        return std::nullopt;
    }
    const scb::PgResult row = scb::run_statement(session.get(), kRetryConfigSql, {config_id});
    if (!scb::has_rows(row.get())) {
        failure.reset(scb_create_error_response(9003, "Failed to get config for token refresh"));
        return std::nullopt;
    }
    return scb::fetch_and_store_token(session.get(), scb::first_row_text(row.get(), kApiKey),
                                      scb::first_row_text(row.get(), kApiSecret), target.token_url.c_str(),
                                      config_id, kRetryTokenTexts, failure);
}

bool token_refused(const http_response *response) noexcept {
    return response->status_code == 401 || scb::token_rejected(response->body);
}

char *payment_inquiry(const char *config_id, const char *transaction_ref, const char *biller_id,
                      const char *reference1, const char *reference2, const char *amount,
                      const char *transaction_date) {
    InquiryTarget target;
    scb::ScbText failure;
    const std::optional<std::string> token = configuration_and_token(config_id, target, failure);
    if (!token) {
        return failure.release();
    }
    const std::vector<Pair> pairs =
        inquiry_pairs(transaction_ref, biller_id, reference1, reference2, amount, transaction_date);
    if (pairs.empty()) {
        return scb_create_error_response(
            9004, "Invalid parameters: either transaction_ref or (biller_id + reference1) required");
    }
    std::optional<scb::HttpResponse> response = send_inquiry(target, pairs, *token);
    if (!response) {
        return nullptr;
    }
    if (!*response) {
        scb_log_error("Failed to get response from payment inquiry endpoint");
        return scb_create_error_response(9102, "Network error: Failed to connect to payment inquiry endpoint");
    }
    if (token_refused(response->get())) {
        scb_log_debug("[SCB API] Payment inquiry got 401/9500 error, refreshing token and retrying");
        response->reset();
        const std::optional<std::string> renewed = token_after_rejection(config_id, target, failure);
        if (!renewed) {
            return failure.release();
        }
        scb_log_debug("[SCB API] Token refreshed, retrying payment inquiry");
        response = send_inquiry(target, pairs, *renewed);
        if (!response) {
            return nullptr;
        }
        if (!*response) {
            scb_log_error("Failed to get response from payment inquiry retry");
            return scb_create_error_response(9102, "Network error on retry");
        }
    }
    return scb::bank_answer(std::move(*response), "Payment inquiry", "Payment inquiry successful");
}

}  // namespace

extern "C" char *scb_payment_inquiry(const char *config_id, const char *transaction_ref, const char *biller_id,
                                     const char *reference1, const char *reference2, const char *amount,
                                     const char *transaction_date) noexcept {
    return scb::guarded<char *>(nullptr, [&] {
        return payment_inquiry(config_id, transaction_ref, biller_id, reference1, reference2, amount,
                               transaction_date);
    });
}
