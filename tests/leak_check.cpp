// Leak check of the C interface, run without Python so that LeakSanitizer
// sees only the library's own allocations: every operation is called on its
// success and failure paths, `repeats` times each, and every result is
// released exactly as scb.h says. Whatever LeakSanitizer then reports at exit
// was lost inside the library (or in a library it uses).
//
//   leak_check NAME=VALUE...
//
//   repeats            how many times each path runs
//   api_key api_secret credentials the bank knows
//   token              an access token the bank issued for api_key
//   biller_id          the biller id of the bank accounts below
//   closed_port        a local port nothing listens on
//   fresh_accounts     one bank account per repeat whose configuration holds no token
//   stale_accounts     one bank account per repeat whose configuration holds a token the bank rejects
//   refused_account    a bank account whose configuration's credentials the bank refuses
//   invoice_account    the bank account invoice QRs are made for, and its invoice_config
//   inquiry_config     a sandbox configuration holding no token
//   production_config  a production configuration holding no token
//   stale_configs      one configuration per repeat holding a token the bank rejects
//   transaction_id     the transaction the inquiries ask about
//   paid_record        the bank's confirmation record of a paid invoice QR of invoice_config
//
// Lists are comma-separated. PG*, SCB_SANDBOX_HOST, SCB_PRODUCTION_HOST and
// CURL_CA_BUNDLE come from the environment. Prints one line "PATH OUTCOME"
// per call, where OUTCOME is "code:N" for an answer carrying a status code,
// "intent:N" for an invoice QR document, "outcome:NAME" for a payment check, "status:N" for an HTTP exchange,
// "int:N" for a number, "len:N" for other text and "null" for nothing; the
// caller judges them.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "owned.hpp"
#include "scb.h"

namespace {

using Arguments = std::map<std::string, std::string>;

Arguments arguments;
int repeat = 0;

[[noreturn]] void usage(const std::string &why) {
    std::fprintf(stderr, "leak_check: %s\n", why.c_str());
    std::exit(2);
}

const char *argument(const char *name) {
    const auto found = arguments.find(name);
    if (found == arguments.end()) {
        usage(std::string("missing argument ") + name);
    }
    return found->second.c_str();
}

// The list entry for the current repeat, kept alive in a static table.
const char *entry(const char *name) {
    static std::map<std::string, std::vector<std::string>> lists;
    std::vector<std::string> &list = lists[name];
    if (list.empty()) {
        std::istringstream items(argument(name));
        for (std::string item; std::getline(items, item, ',');) {
            list.push_back(item);
        }
    }
    if (static_cast<std::size_t>(repeat) >= list.size()) {
        usage(std::string("too few entries in ") + name);
    }
    return list[static_cast<std::size_t>(repeat)].c_str();
}

int number(const char *name) { return std::atoi(argument(name)); }

void report(const char *path, const std::string &outcome) {
    std::printf("%s %s\n", path, outcome.c_str());
    std::fflush(stdout);
}

std::string text_outcome(const char *text) {
    if (text == nullptr) {
        return "null";
    }
    const scb::CJsonTree document(cJSON_Parse(text));
    if (cJSON_IsObject(document.get())) {
        const cJSON *code = cJSON_GetObjectItem(cJSON_GetObjectItem(document.get(), "status"), "code");
        if (cJSON_IsNumber(code)) {
            return "code:" + std::to_string(code->valueint);
        }
        const char *outcome = cJSON_GetStringValue(cJSON_GetObjectItem(document.get(), "outcome"));
        if (outcome != nullptr) {
            return std::string("outcome:") + outcome;
        }
        const cJSON *intent = cJSON_GetObjectItem(document.get(), "intent_id");
        if (cJSON_IsNumber(intent)) {
            return "intent:" + std::to_string(intent->valueint);
        }
    }
    return "len:" + std::to_string(std::strlen(text));
}

// Every text result goes back through scb_free.
void text(const char *path, char *result) {
    report(path, text_outcome(result));
    scb_free(result);
}

void exchange(const char *path, http_response *response) {
    report(path, response == nullptr ? "null" : "status:" + std::to_string(response->status_code));
    http_response_free(response);
}

void integer(const char *path, int32_t value) { report(path, "int:" + std::to_string(value)); }

// Sets (value non-null) or removes a variable until the end of the scope.
class Override {
  public:
    Override(const char *name, const char *value) : name_(name) {
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        old_ = had_ ? old : "";
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~Override() {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    Override(const Override &) = delete;
    Override &operator=(const Override &) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// The environment's database on a port nothing listens on.
struct DatabaseDown {
    Override port{"PGPORT", argument("closed_port")};
};

// No database in the environment at all.
struct DatabaseUnset {
    Override host{"PGHOST", nullptr};
    Override database{"PGDATABASE", nullptr};
};

std::string sandbox_url(const char *endpoint) {
    return std::string("https://") + std::getenv("SCB_SANDBOX_HOST") + "/partners/sandbox/v1" + endpoint;
}

std::string closed_url(const char *endpoint) {
    return std::string("https://127.0.0.1:") + argument("closed_port") + "/partners/sandbox/v1" + endpoint;
}

std::string credentials_body(const char *secret) {
    return std::string("{\"applicationKey\":\"") + argument("api_key") + "\",\"applicationSecret\":\"" + secret +
           "\"}";
}

void foundation() {
    text("uuid", scb_generate_uuid());
    text("hmac", scb_hmac_sha256("key", "message"));
    text("hmac.no_key", scb_hmac_sha256(nullptr, "message"));
    text("envelope", scb_create_error_response(9001, "Database environment variables not configured"));
    text("envelope.no_description", scb_create_error_response(9002, nullptr));
    const std::string broken = std::string(600, 'x') + "\xff\xfe bank said \xc3";
    text("envelope.broken_utf8", scb_create_error_response(9103, broken.c_str()));
    integer("log.info", scb_log_info("leak check: info line") > 0);
    integer("log.error", scb_log_error("leak check: error line\nwith a break \x1b[31m") > 0);
    integer("log.debug", scb_log_debug("leak check: debug line") > 0);
    text("strdup", scb_strdup("copied"));
    text("strdup.null", scb_strdup(nullptr));
    void *block = scb_malloc(64);
    integer("malloc", block != nullptr);
    scb_free(block);
    text("placeholder.qr", scb_create_qr_impl("1", "REF", "web", 10.0));
    text("placeholder.payment", scb_check_payment_impl("REF"));
}

void transport() {
    const std::string token_url = sandbox_url("/oauth/token");
    const std::string owner = std::string("resourceOwnerId: ") + argument("api_key");
    const char *const headers[] = {owner.c_str(), "requestUId: 0b4bd4a0-6b0c-4a0e-9a4e-6a9f1b6b2c11"};
    const std::string body = credentials_body(argument("api_secret"));
    exchange("http.post", http_post_json(token_url.c_str(), body.c_str(), headers, 2));
    exchange("http.post.closed", http_post_json(closed_url("/oauth/token").c_str(), body.c_str(), headers, 2));
    const char *const broken_headers[] = {"resourceOwnerId: a\r\nX-Injected: 1"};
    exchange("http.post.bad_header", http_post_json(token_url.c_str(), body.c_str(), broken_headers, 1));
    const char *const keys[] = {"eventCode", "partnerTransactionId", "transactionDate"};
    const char *const values[] = {"00300104", "SBX 0001&x=y", "2024-01-31"};
    const std::string inquiry_url = sandbox_url("/payment/billpayment/inquiry");
    exchange("http.get_params", http_get_with_params(inquiry_url.c_str(), keys, values, 3, headers, 2));
    exchange("http.get_params.closed",
             http_get_with_params(closed_url("/payment/billpayment/inquiry").c_str(), keys, values, 3, headers, 2));
    const std::string long_value(3000, 'A');
    const char *const long_values[] = {"00300104", long_value.c_str(), "2024-01-31"};
    exchange("http.get_params.too_long",
             http_get_with_params(inquiry_url.c_str(), keys, long_values, 3, headers, 2));
    exchange("http.get", http_get(token_url.c_str(), headers, 2));
    exchange("http.get.closed", http_get(closed_url("/oauth/token").c_str(), nullptr, 0));
    const Override cert("SCB_CLIENT_CERT", argument("client_cert"));
    {
        const Override key("SCB_CLIENT_KEY", argument("client_key"));
        exchange("http.post.client_certificate", http_post_json(token_url.c_str(), body.c_str(), headers, 2));
    }
    const Override unreadable_key("SCB_CLIENT_KEY", argument("client_cert"));
    exchange("http.post.client_key_unreadable", http_post_json(token_url.c_str(), body.c_str(), headers, 2));
}

void tokens() {
    const std::string token_url = sandbox_url("/oauth/token");
    text("token", scb_refresh_token(argument("api_key"), argument("api_secret"), token_url.c_str()));
    text("token.refused", scb_refresh_token(argument("api_key"), "wrong-secret", token_url.c_str()));
    text("token.closed",
         scb_refresh_token(argument("api_key"), argument("api_secret"), closed_url("/oauth/token").c_str()));
    text("token_by_config", scb_refresh_token_by_config_id(argument("inquiry_config")));
    text("token_by_config.unknown", scb_refresh_token_by_config_id("999999"));
    {
        const DatabaseDown down;
        text("token_by_config.db_down", scb_refresh_token_by_config_id(argument("inquiry_config")));
    }
    const DatabaseUnset unset;
    text("token_by_config.db_unset", scb_refresh_token_by_config_id(argument("inquiry_config")));
}

void qr_codes() {
    const std::string qr_url = sandbox_url("/payment/qrcode/create");
    const char *key = argument("api_key");
    const char *biller = argument("biller_id");
    text("qr_full", scb_create_qr_full(key, argument("token"), qr_url.c_str(), biller, "LEAK1", "REF2", "SCB", 12.5));
    text("qr_full.rejected_token",
         scb_create_qr_full(key, "not-a-token", qr_url.c_str(), biller, "LEAK1", "REF2", "SCB", 12.5));
    text("qr_full.closed", scb_create_qr_full(key, argument("token"), closed_url("/payment/qrcode/create").c_str(),
                                              biller, "LEAK1", "REF2", "SCB", 12.5));
    text("qr_full.invalid", scb_create_qr_full(key, argument("token"), qr_url.c_str(), "12", "lower case", nullptr,
                                               nullptr, -1.0));
    text("qr_by_bank.token_fetched", scb_create_qr_by_bank_account(entry("fresh_accounts"), "LEAK2", "R2", "SCB", 20));
    text("qr_by_bank.token_cached", scb_create_qr_by_bank_account(entry("fresh_accounts"), "LEAK3", "R2", "SCB", 21));
    text("qr_by_bank.token_renewed", scb_create_qr_by_bank_account(entry("stale_accounts"), "LEAK4", "R2", "SCB", 22));
    text("qr_by_bank.credentials_refused",
         scb_create_qr_by_bank_account(argument("refused_account"), "LEAK5", "R2", "SCB", 23));
    text("qr_by_bank.unknown_account", scb_create_qr_by_bank_account("999999", "LEAK6", "R2", "SCB", 24));
    {
        const DatabaseDown down;
        text("qr_by_bank.db_down", scb_create_qr_by_bank_account(entry("fresh_accounts"), "LEAK7", "R2", "SCB", 25));
    }
    const DatabaseUnset unset;
    text("qr_by_bank.db_unset", scb_create_qr_by_bank_account(entry("fresh_accounts"), "LEAK8", "R2", "SCB", 26));
}

void database() {
    const std::string dead = std::string("host=127.0.0.1 port=") + argument("closed_port") + " dbname=none";
    PGconn *refused = scb_db_connect(dead.c_str());
    integer("db_connect.closed", refused != nullptr);
    scb_db_close(refused);
    PGconn *conn = scb_db_connect(nullptr);
    integer("db_connect", conn != nullptr);
    text("config_by_bank", scb_db_get_config_by_bank(conn, argument("invoice_account")));
    text("config_by_bank.unknown", scb_db_get_config_by_bank(conn, "999999"));
    text("config_by_bank.not_a_number", scb_db_get_config_by_bank(conn, "abc"));
    text("config_by_bank.no_connection", scb_db_get_config_by_bank(nullptr, "1"));
    text("config", scb_db_get_config(conn));
    text("config.no_connection", scb_db_get_config(nullptr));
    scb_db_close(conn);
    scb_db_close(nullptr);
}

void intents(PGconn *conn) {
    const int invoice = 100 + repeat;
    const int config = number("invoice_config");
    const int32_t inserted =
        scb_intent_upsert(conn, invoice, 1, config, "INV100", "invoice", "payload", "image", 10.5, "SBX1");
    integer("intent_upsert.insert", inserted > 0);
    integer("intent_upsert.update",
            scb_intent_upsert(conn, invoice, 1, config, "INV100", "invoice", "payload2", "image2", 11, nullptr) ==
                inserted);
    integer("intent_upsert.not_finite",
            scb_intent_upsert(conn, invoice, 1, config, "INV100", "invoice", "p", "i", std::nan(""), nullptr));
    integer("intent_upsert.statement_fails",
            scb_intent_upsert(conn, 300 + repeat, 1, config, "bad \xff utf-8", "invoice", "p", "i", 1, nullptr));
    integer("intent_upsert.no_connection",
            scb_intent_upsert(nullptr, invoice, 1, config, "INV100", "invoice", "p", "i", 1, nullptr));
    text("intent_get", scb_intent_get_by_invoice(conn, invoice, 1));
    text("intent_get.none", scb_intent_get_by_invoice(conn, 999999, 1));
    text("intent_get.no_connection", scb_intent_get_by_invoice(nullptr, invoice, 1));
    integer("intent_confirm", scb_intent_confirm(conn, inserted));
    integer("intent_confirm.no_connection", scb_intent_confirm(nullptr, inserted));
}

void invoice_qrs(PGconn *conn) {
    const int invoice = 200 + repeat;
    const int config = number("invoice_config");
    const char *account = argument("invoice_account");
    text("invoice_qr.new", scb_create_qr_for_invoice(conn, invoice, 1, config, "INV200", account, 30));
    text("invoice_qr.reused", scb_create_qr_for_invoice(conn, invoice, 1, config, "INV200", account, 30));
    text("invoice_qr.unknown_account", scb_create_qr_for_invoice(conn, 400 + repeat, 1, config, "INV400", "999999", 1));
    text("invoice_qr.credentials_refused",
         scb_create_qr_for_invoice(conn, 500 + repeat, 1, config, "INV500", argument("refused_account"), 1));
    text("invoice_qr.no_connection", scb_create_qr_for_invoice(nullptr, invoice, 1, config, "INV200", account, 30));
    text("invoice_qr.ref3",
         scb_create_qr_for_invoice_with_ref3(conn, 600 + repeat, 1, config, "INV600", account, 30, "ERP1"));
    text("invoice_qr.ref3.no_connection",
         scb_create_qr_for_invoice_with_ref3(nullptr, invoice, 1, config, "INV200", account, 30, "ERP1"));
}

void inquiries() {
    const char *config = argument("inquiry_config");
    const char *biller = argument("biller_id");
    const char *transaction = argument("transaction_id");
    text("inquiry.transaction",
         scb_payment_inquiry(config, transaction, nullptr, nullptr, nullptr, nullptr, "2024-01-31"));
    text("inquiry.reference", scb_payment_inquiry(config, nullptr, biller, "LEAK2", "R2", "20.00", nullptr));
    text("inquiry.production", scb_payment_inquiry(argument("production_config"), transaction, nullptr, nullptr,
                                                   nullptr, nullptr, "2024-01-31"));
    text("inquiry.missing_parameters",
         scb_payment_inquiry(config, nullptr, biller, nullptr, nullptr, nullptr, nullptr));
    text("inquiry.token_renewed", scb_payment_inquiry(entry("stale_configs"), transaction, nullptr, nullptr, nullptr,
                                                      nullptr, "2024-01-31"));
    text("inquiry.unknown_config",
         scb_payment_inquiry("999999", transaction, nullptr, nullptr, nullptr, nullptr, nullptr));
    const DatabaseDown down;
    text("inquiry.db_down", scb_payment_inquiry(config, transaction, nullptr, nullptr, nullptr, nullptr, nullptr));
}

// A confirmation record for one of invoice_config's invoices, which the bank never saw paid.
std::string unpaid_record(const char *reference) {
    return std::string("{\"payeeProxyId\":\"") + argument("biller_id") + "\",\"billPaymentRef1\":\"" + reference +
           "\",\"billPaymentRef2\":\"INVOICE\",\"amount\":\"30.00\",\"transactionId\":\"LEAKFORGED\","
           "\"transactionDateandTime\":\"2026-01-01T10:00:00.000+07:00\"}";
}

void payments() {
    const int config = number("invoice_config");
    const std::string forged = unpaid_record("INV200");
    text("confirm.not_a_record", scb_confirm_payment("not json"));
    text("confirm.paid", scb_confirm_payment(argument("paid_record")));
    text("confirm.not_verified", scb_confirm_payment(forged.c_str()));
    scb_payment_listener *listener = scb_payment_listener_open();
    integer("listener.open", listener != nullptr ? 1 : 0);
    text("confirm.unmatched", scb_confirm_payment(unpaid_record("NOSUCHINVOICE").c_str()));
    char *heard = nullptr;
    integer("listener.next", scb_payment_listener_next(listener, 10000, &heard));
    text("listener.heard", heard);
    integer("listener.next.timeout", scb_payment_listener_next(listener, 0, &heard));
    scb_payment_listener_close(listener);
    text("reconcile", scb_reconcile_intents(config, 3));
    text("reconcile.unknown_config", scb_reconcile_intents(999999, 3));
    text("check_database", scb_check_database());
    text("reconcile.paced", scb_reconcile_intents_paced(config, 3, 50));
    text("reconcile.negative_rate", scb_reconcile_intents_paced(config, 3, -1));
    text("cancel.pending", scb_cancel_invoice_qr(200 + repeat, 1));
    text("cancel.none", scb_cancel_invoice_qr(900, 1));
    const DatabaseDown down;
    text("confirm.db_down", scb_confirm_payment(forged.c_str()));
    text("reconcile.db_down", scb_reconcile_intents(config, 3));
    text("check_database.db_down", scb_check_database());
    text("cancel.db_down", scb_cancel_invoice_qr(900, 1));
    integer("listener.open.db_down", scb_payment_listener_open() != nullptr ? 1 : 0);
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const char *equals = std::strchr(argv[i], '=');
        if (equals == nullptr) {
            usage(std::string("not NAME=VALUE: ") + argv[i]);
        }
        arguments[std::string(argv[i], static_cast<std::size_t>(equals - argv[i]))] = equals + 1;
    }
    const int repeats = number("repeats");
    for (repeat = 0; repeat < repeats; ++repeat) {
        foundation();
        transport();
        tokens();
        qr_codes();
        database();
        PGconn *conn = scb_db_connect(nullptr);
        if (conn == nullptr) {
            usage("no database session for the intent paths");
        }
        intents(conn);
        invoice_qrs(conn);
        scb_db_close(conn);
        inquiries();
        payments();
    }
    // As a caller ends under SCB_REUSE_CONNECTIONS: closing what was kept runs the release paths too.
    scb_close_connections();
    return 0;
}
