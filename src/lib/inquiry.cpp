#include "inquiry.hpp"

#include <ctime>
#include <optional>
#include <vector>

#include "bank.hpp"
#include "db.hpp"
#include "erp_session.hpp"
#include "http.hpp"
#include "readers.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"
#include "token_cache.hpp"

namespace scb {

namespace {

enum ConfigColumn { kApiKey, kApiSecret, kEnvironment, kAccessToken, kExpiresUtc, kSecondsLeft };

const char *const kInquiryUnreachable = "Failed to connect to PostgreSQL for payment inquiry";

// The POST form's URL lives in a 2,048-byte buffer.
constexpr std::size_t kPostUrlLimit = 2047;

const TokenTexts kFirstTokenTexts = {
    nullptr, "[SCB API] Refreshing access token for payment inquiry", "Failed to refresh SCB access token", nullptr,
    "Failed to parse access token", false, false,
};

const TokenTexts kRetryTokenTexts = {
    nullptr, "[SCB API] Refreshing token after 401 error", "Failed to refresh token after 401", nullptr,
    "Failed to parse new token", false, false,
};

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
QueryPairs inquiry_pairs(const InquiryQuery &query) {
    const std::string date = !query.transaction_date.empty() ? query.transaction_date : today_in_thailand();
    if (!query.transaction_ref.empty()) {
        return {{"eventCode", "00300104"}, {"partnerTransactionId", query.transaction_ref}, {"transactionDate", date}};
    }
    if (query.biller_id.empty() || query.reference1.empty()) {
        return {};
    }
    QueryPairs pairs = {{"eventCode", "00300100"}, {"billerId", query.biller_id}, {"reference1", query.reference1}};
    if (!query.reference2.empty()) {
        pairs.emplace_back("reference2", query.reference2);
    }
    if (!query.amount.empty()) {
        pairs.emplace_back("amount", query.amount);
    }
    pairs.emplace_back("transactionDate", date);
    return pairs;
}

// One attempt: nothing when no request identifier could be made (nothing is
// sent), else the exchange, nothing inside when none completed.
std::optional<std::optional<HttpReply>> send_inquiry(InquiryChannel &channel, const QueryPairs &pairs) {
    const std::optional<std::string> request_id = new_request_id();
    if (!request_id) {
        return std::nullopt;
    }
    const HeaderLines headers = {bounded_format(1024, "Authorization: Bearer %s", channel.token.c_str()),
                                 bounded_format(512, "resourceOwnerId: %s", channel.api_key.c_str()),
                                 bounded_format(512, "requestUId: %s", request_id->c_str()), "Accept-Language: EN"};
    if (channel.get_form) {
        channel.pacer.wait_turn();
        return get_with_query(channel.inquiry_url, pairs, headers);
    }
    const std::size_t room = channel.inquiry_url.size() < kPostUrlLimit ? kPostUrlLimit - channel.inquiry_url.size() : 0;
    const std::optional<std::string> url = url_with_query(channel.inquiry_url, pairs, room);
    if (!url) {
        scb_log_error("Failed to build URL with parameters");
        return std::optional<HttpReply>();
    }
    channel.pacer.wait_turn();
    return post_json(*url, "", headers);
}

// After a rejected token: key and secret read again and a new token (or one
// another caller stored meanwhile), on the given session or a new one.
Outcome<std::string> token_after_rejection(const InquiryChannel &channel, PGconn *conn) {
    const DbSession own(conn == nullptr ? acquire_session() : nullptr);
    PGconn *session = conn != nullptr ? conn : own.get();
    if (session == nullptr) {
        scb_log_error("Failed to reconnect to database for token refresh");
        return Outcome<std::string>::failed(
            ScbText(scb_create_error_response(9002, "Failed to reconnect to database")));
    }
    const PgResult row = run_statement(session, sql::kInquiryRetryConfig, {channel.config_id.c_str()});
    if (!has_rows(row.get())) {
        return Outcome<std::string>::failed(
            ScbText(scb_create_error_response(9003, "Failed to get config for token refresh")));
    }
    const TokenSource source{first_row_text(row.get(), kApiKey), first_row_text(row.get(), kApiSecret),
                             channel.token_url, channel.config_id};
    return renew_token(session, source, channel.token, kRetryTokenTexts);
}

bool token_refused(const HttpReply &reply) noexcept {
    return reply.status == 401 || token_rejected(reply.body.c_str());
}

}  // namespace

Outcome<InquiryChannel> open_inquiry(PGconn *conn, const char *config_id) {
    const PgResult row = run_statement(conn, sql::kInquiryConfig, {config_id});
    if (!has_rows(row.get()) && connection_lost(conn)) {
        return Outcome<InquiryChannel>::failed(database_unreachable(kInquiryUnreachable));
    }
    if (!has_rows(row.get())) {
        scb_log_error("Failed to get SCB config for payment inquiry");
        return Outcome<InquiryChannel>::failed(
            ScbText(scb_create_error_response(9003, "SCB configuration not found or inactive")));
    }
    auto text = [&row](int column) { return first_row_text(row.get(), column); };
    InquiryChannel channel;
    channel.config_id = config_id;
    channel.api_key = utf8_prefix(text(kApiKey), 255);
    const std::string environment = utf8_prefix(text(kEnvironment), 31);
    const BankUrls urls = bank_urls(environment.c_str());
    channel.token_url = urls.token;
    channel.inquiry_url = urls.inquiry;
    channel.get_form = environment == "sandbox";
    const std::optional<CachedToken> cached = cached_token(row.get(), kAccessToken, kSecondsLeft);
    if (cached && reusable(*cached)) {
        scb_log_info(
            bounded_format(256, "Using cached access token (valid for %.0f more seconds)", cached->seconds_left)
                .c_str());
        channel.token = cached->token;
        return channel;
    }
    const TokenSource source{channel.api_key, utf8_prefix(text(kApiSecret), 255), channel.token_url,
                             channel.config_id};
    Outcome<std::string> token = renew_token(conn, source, "", kFirstTokenTexts);
    if (!token) {
        return Outcome<InquiryChannel>::failed(token.failure());
    }
    channel.token = std::move(*token);
    return channel;
}

ScbText inquire(InquiryChannel &channel, const InquiryQuery &query, PGconn *conn) {
    const QueryPairs pairs = inquiry_pairs(query);
    if (pairs.empty()) {
        return ScbText(scb_create_error_response(
            9004, "Invalid parameters: either transaction_ref or (biller_id + reference1) required"));
    }
    std::optional<std::optional<HttpReply>> reply = send_inquiry(channel, pairs);
    if (!reply) {
        return nullptr;
    }
    if (!*reply) {
        scb_log_error("Failed to get response from payment inquiry endpoint");
        return ScbText(
            scb_create_error_response(9102, "Network error: Failed to connect to payment inquiry endpoint"));
    }
    if (token_refused(**reply)) {
        scb_log_debug("[SCB API] Payment inquiry got 401/9500 error, refreshing token and retrying");
        reply->reset();
        Outcome<std::string> renewed = token_after_rejection(channel, conn);
        if (!renewed) {
            return renewed.failure();
        }
        channel.token = std::move(*renewed);
        scb_log_debug("[SCB API] Token refreshed, retrying payment inquiry");
        reply = send_inquiry(channel, pairs);
        if (!reply) {
            return nullptr;
        }
        if (!*reply) {
            scb_log_error("Failed to get response from payment inquiry retry");
            return ScbText(scb_create_error_response(9102, "Network error on retry"));
        }
    }
    return bank_answer(**reply, "Payment inquiry", "Payment inquiry successful");
}

ScbText payment_inquiry(const char *config_id, const InquiryQuery &query) {
    // The session ends before any inquiry goes out.
    Outcome<InquiryChannel> channel = [config_id]() -> Outcome<InquiryChannel> {
        const DbSession session(acquire_session());
        if (!session) {
            return Outcome<InquiryChannel>::failed(database_unreachable(kInquiryUnreachable));
        }
        return open_inquiry(session.get(), config_id);
    }();
    if (!channel) {
        return channel.failure();
    }
    return inquire(*channel, query, nullptr);
}

}  // namespace scb
