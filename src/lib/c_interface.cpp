// The C interface of the public header: each function guards, converts and
// calls one internal function. No exception leaves here; texts cross as heap
// copies the caller releases with scb_free, and a null text from a C caller
// reads as empty wherever the internal function takes a string. (The
// foundation's own C helpers for memory, logging and the error envelope live
// in src/util.)
#include <string>
#include <utility>

#include "bank.hpp"
#include "config.hpp"
#include "confirmation.hpp"
#include "crypto.hpp"
#include "database_check.hpp"
#include "db.hpp"
#include "http.hpp"
#include "inquiry.hpp"
#include "intent_store.hpp"
#include "invoice_qr.hpp"
#include "payment_events.hpp"
#include "placeholders.hpp"
#include "qr.hpp"
#include "reconciliation.hpp"
#include "scb.h"
#include "text.hpp"
#include "token_endpoint.hpp"

namespace {

// Internal failures surface as the null (or -1) result that callers turn
// into RuntimeError; the line says what ran out.
template <typename Result, typename Call>
Result guarded(Result on_failure, const char *failure_line, Call call) noexcept {
    try {
        return call();
    } catch (...) {
        if (failure_line != nullptr) {
            scb_log_error(failure_line);
        }
        return on_failure;
    }
}

template <typename Call>
char *guarded_text(Call call) noexcept {
    return guarded<char *>(nullptr, "Out of memory", [&] { return call().release(); });
}

// A heap copy for the caller; null after logging `failure_line` when memory ran out.
char *handed_out(const std::string &text, const char *failure_line) noexcept {
    char *copy = scb::to_c_text(text);
    if (copy == nullptr) {
        scb_log_error(failure_line);
    }
    return copy;
}

scb::HeaderLines header_lines(const char *const *headers, int32_t header_count) {
    scb::HeaderLines lines;
    for (int32_t i = 0; headers != nullptr && i < header_count; ++i) {
        if (headers[i] != nullptr) {
            lines.emplace_back(headers[i]);
        }
    }
    return lines;
}

// No arrays or no count: no query at all. Otherwise the pairs whose key and
// value are both present, perhaps none.
std::optional<scb::QueryPairs> query_pairs(const char *const *keys, const char *const *values, int32_t count) {
    if (count <= 0 || keys == nullptr || values == nullptr) {
        return std::nullopt;
    }
    scb::QueryPairs pairs;
    for (int32_t i = 0; i < count; ++i) {
        if (keys[i] != nullptr && values[i] != nullptr) {
            pairs.emplace_back(keys[i], values[i]);
        }
    }
    return pairs;
}

// The record the http_ functions return: body NUL-terminated, never null.
http_response *response_record(const std::optional<scb::HttpReply> &reply) noexcept {
    if (!reply) {
        return nullptr;
    }
    auto *record = static_cast<http_response *>(scb_malloc(sizeof(http_response)));
    if (record == nullptr) {
        return nullptr;
    }
    record->body = static_cast<char *>(scb_malloc(reply->body.size() + 1));
    if (record->body == nullptr) {
        scb_free(record);
        return nullptr;
    }
    reply->body.copy(record->body, reply->body.size());
    record->body[reply->body.size()] = '\0';
    record->status_code = reply->status;
    record->body_size = reply->body.size();
    return record;
}

template <typename Call>
http_response *guarded_exchange(Call call) noexcept {
    return guarded<http_response *>(nullptr, nullptr, [&] { return response_record(call()); });
}

scb::QrRequest qr_request(const char *biller_id, const char *ref1, const char *ref2, const char *ref3,
                          double amount) {
    return scb::QrRequest{scb::or_empty(biller_id), scb::or_empty(ref1), scb::or_empty(ref2), scb::or_empty(ref3),
                          amount};
}

bool connection_given(const PGconn *conn) noexcept {
    if (conn == nullptr) {
        scb_log_error("Database connection is NULL");
    }
    return conn != nullptr;
}

}  // namespace

// The handle a C caller holds for a listener.
struct scb_payment_listener {
    scb::PaymentListener events;
};

extern "C" {

char *scb_generate_uuid(void) noexcept {
    return guarded<char *>(nullptr, "Out of memory", [] {
        const std::optional<std::string> uuid = scb::new_uuid();
        return uuid ? handed_out(*uuid, "Failed to allocate memory for UUID") : nullptr;
    });
}

char *scb_hmac_sha256(const char *key, const char *message) noexcept {
    if (key == nullptr || message == nullptr) {
        return nullptr;
    }
    return guarded<char *>(nullptr, "Out of memory", [&] {
        const std::optional<std::string> digest = scb::hmac_sha256(key, message);
        return digest ? handed_out(*digest, "Failed to allocate memory for HMAC") : nullptr;
    });
}

http_response *http_post_json(const char *url, const char *body, const char *const *headers,
                              int32_t header_count) noexcept {
    return guarded_exchange(
        [&] { return scb::post_json(scb::or_empty(url), scb::or_empty(body), header_lines(headers, header_count)); });
}

http_response *http_get_with_params(const char *url, const char *const *keys, const char *const *values,
                                    int32_t param_count, const char *const *headers,
                                    int32_t header_count) noexcept {
    return guarded_exchange([&] {
        return scb::get_with_query(scb::or_empty(url), query_pairs(keys, values, param_count),
                                   header_lines(headers, header_count));
    });
}

http_response *http_get(const char *url, const char *const *headers, int32_t header_count) noexcept {
    return guarded_exchange([&] { return scb::get(scb::or_empty(url), header_lines(headers, header_count)); });
}

void http_response_free(http_response *response) noexcept {
    if (response == nullptr) {
        return;
    }
    scb_free(response->body);
    scb_free(response);
}

PGconn *scb_db_connect(const char *conninfo) noexcept {
    return guarded<PGconn *>(nullptr, "Database connection failed: out of memory",
                             [&] { return scb::connect_database(conninfo); });
}

void scb_db_close(PGconn *conn) noexcept {
    scb::close_database(conn);
}

PGconn *scb_db_acquire(void) noexcept {
    return guarded<PGconn *>(nullptr, "Database connection failed: out of memory",
                             [] { return scb::acquire_session(); });
}

void scb_db_release(PGconn *conn) noexcept {
    scb::release_session(conn);
}

void scb_close_connections(void) noexcept {
    scb::close_kept_sessions();
    scb::close_kept_bank_connections();
}

char *scb_db_get_config_by_bank(PGconn *conn, const char *bank_account_id) noexcept {
    const char *const no_memory = "Failed to allocate memory for config result";
    return guarded<char *>(nullptr, no_memory, [&]() -> char * {
        if (!connection_given(conn)) {
            return nullptr;
        }
        const std::optional<scb::BankAccountConfig> config = scb::config_for_bank_account(conn, bank_account_id);
        return config ? handed_out(scb::configuration_document(*config), no_memory) : nullptr;
    });
}

char *scb_db_get_config(PGconn *conn) noexcept {
    if (connection_given(conn)) {
        scb_log_info("Config retrieved (legacy method)");
    }
    return nullptr;
}

char *scb_create_qr_impl(const char *config_id, const char *reference, const char *channel, double amount) noexcept {
    return guarded<char *>(nullptr, "Out of memory", [&] {
        return handed_out(scb::placeholder_qr(config_id, reference, channel, amount),
                          "Failed to allocate memory for QR creation result");
    });
}

char *scb_check_payment_impl(const char *reference) noexcept {
    return guarded<char *>(nullptr, "Out of memory", [&] {
        return handed_out(scb::placeholder_payment_check(reference),
                          "Failed to allocate memory for payment check result");
    });
}

char *scb_refresh_token(const char *api_key, const char *api_secret, const char *token_url) noexcept {
    return guarded_text([&] {
        return scb::request_token(scb::or_empty(api_key), scb::or_empty(api_secret), scb::or_empty(token_url));
    });
}

char *scb_refresh_token_by_config_id(const char *config_id) noexcept {
    return guarded_text([&] { return scb::request_token_for_config(config_id); });
}

char *scb_create_qr_full(const char *api_key, const char *access_token, const char *qr_create_url,
                         const char *biller_id, const char *ref1, const char *ref2, const char *ref3,
                         double amount) noexcept {
    return guarded_text([&] {
        return scb::create_qr_full(scb::or_empty(api_key), scb::or_empty(access_token), scb::or_empty(qr_create_url),
                                   qr_request(biller_id, ref1, ref2, ref3, amount));
    });
}

char *scb_create_qr_by_bank_account(const char *bank_account_id, const char *ref1, const char *ref2,
                                    const char *ref3, double amount) noexcept {
    return guarded_text([&] {
        return scb::create_qr_by_bank_account(bank_account_id, qr_request(nullptr, ref1, ref2, ref3, amount));
    });
}

char *scb_payment_inquiry(const char *config_id, const char *transaction_ref, const char *biller_id,
                          const char *reference1, const char *reference2, const char *amount,
                          const char *transaction_date) noexcept {
    return guarded_text([&] {
        const scb::InquiryQuery query{scb::or_empty(transaction_ref), scb::or_empty(biller_id),
                                      scb::or_empty(reference1),      scb::or_empty(reference2),
                                      scb::or_empty(amount),          scb::or_empty(transaction_date)};
        return scb::payment_inquiry(config_id, query);
    });
}

char *scb_intent_get_by_invoice(PGconn *conn, int32_t invoice_id, int32_t company_id) noexcept {
    return guarded<char *>(nullptr, "Out of memory", [&]() -> char * {
        if (!connection_given(conn)) {
            return nullptr;
        }
        const std::optional<scb::Intent> intent = scb::live_intent(conn, invoice_id, company_id);
        return intent ? scb::to_c_text(scb::intent_document(*intent)) : nullptr;
    });
}

int32_t scb_intent_upsert(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id,
                          const char *reference, const char *channel, const char *qr_payload,
                          const char *qr_image_base64, double amount, const char *transaction_id) noexcept {
    return guarded<int32_t>(-1, "Out of memory", [&] {
        if (!connection_given(conn)) {
            return -1;
        }
        const scb::IntentWrite write{invoice_id, company_id,      config_id, reference,     channel,
                                     qr_payload, qr_image_base64, amount,    transaction_id};
        return scb::write_intent(conn, write).value_or(-1);
    });
}

int32_t scb_intent_confirm(PGconn *conn, int32_t intent_id) noexcept {
    return guarded<int32_t>(-1, "Out of memory", [&] {
        return connection_given(conn) && scb::confirm_intent(conn, intent_id) ? 0 : -1;
    });
}

char *scb_create_qr_for_invoice(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id,
                                const char *reference, const char *bank_account_id, double amount) noexcept {
    return guarded_text([&] {
        return scb::qr_for_invoice(
            {conn, invoice_id, company_id, config_id, reference, bank_account_id, amount, "SCB"});
    });
}

char *scb_create_qr_for_invoice_with_ref3(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id,
                                          const char *reference, const char *bank_account_id, double amount,
                                          const char *ref3) noexcept {
    return guarded_text([&] {
        return scb::qr_for_invoice(
            {conn, invoice_id, company_id, config_id, reference, bank_account_id, amount, ref3});
    });
}

char *scb_confirm_payment(const char *record_json) noexcept {
    return guarded_text([&] { return scb::confirm_payment(scb::or_empty(record_json)); });
}

char *scb_reconcile_intents(int config_id, int days) noexcept {
    return guarded_text([&] { return scb::reconcile_intents(scb::format_text("%d", config_id).c_str(), days, 0); });
}

char *scb_reconcile_intents_paced(int config_id, int days, int max_rate) noexcept {
    return guarded_text(
        [&] { return scb::reconcile_intents(scb::format_text("%d", config_id).c_str(), days, max_rate); });
}

char *scb_check_database(void) noexcept {
    return guarded_text([] { return scb::check_database(); });
}

char *scb_cancel_invoice_qr(int32_t invoice_id, int32_t company_id) noexcept {
    return guarded_text([&] { return scb::cancel_invoice_qr(invoice_id, company_id); });
}

scb_payment_listener *scb_payment_listener_open(void) noexcept {
    return guarded<scb_payment_listener *>(nullptr, "Out of memory", []() -> scb_payment_listener * {
        std::optional<scb::PaymentListener> events = scb::PaymentListener::open();
        return events ? new scb_payment_listener{std::move(*events)} : nullptr;
    });
}

int32_t scb_payment_listener_next(scb_payment_listener *listener, int32_t timeout_ms, char **document) noexcept {
    return guarded<int32_t>(-1, "Out of memory", [&]() -> int32_t {
        if (listener == nullptr || document == nullptr) {
            return -1;
        }
        std::string heard;
        switch (listener->events.next(timeout_ms, heard)) {
            case scb::PaymentListener::kDocument:
                *document = handed_out(heard, "Failed to allocate memory for a payment notification");
                return *document != nullptr ? 1 : -1;
            case scb::PaymentListener::kTimedOut:
                return 0;
            case scb::PaymentListener::kInterrupted:
                return 2;
            case scb::PaymentListener::kLost:
                break;
        }
        return -1;
    });
}

void scb_payment_listener_close(scb_payment_listener *listener) noexcept {
    delete listener;
}

}  // extern "C"
