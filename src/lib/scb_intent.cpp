#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <string>

#include "scb.h"
#include "scb_api.hpp"
#include "scb_db.hpp"
#include "scb_readers.hpp"
#include "text.hpp"

namespace {

// Member lookups ignore letter case, as the bank's answers have always been read.
const cJSON *member(const cJSON *object, const char *name) noexcept { return cJSON_GetObjectItem(object, name); }

const char *string_member(const cJSON *object, const char *name) noexcept {
    return cJSON_GetStringValue(member(object, name));
}

}  // namespace

namespace scb {

InvoiceConfig read_invoice_config(const char *document_text) {
    InvoiceConfig config;
    config.tree.reset(cJSON_Parse(document_text));
    if (!config.tree) {
        return config;
    }
    for (const char *name : {"api_key", "biller_id", "token_url", "qr_create_url", "api_secret"}) {
        if (member(config.tree.get(), name) == nullptr) {
            config.outcome = InvoiceConfig::kIncomplete;
            return config;
        }
    }
    const cJSON *document = config.tree.get();
    config.api_key = string_member(document, "api_key");
    config.api_secret = string_member(document, "api_secret");
    config.biller_id = string_member(document, "biller_id");
    config.token_url = string_member(document, "token_url");
    config.qr_create_url = string_member(document, "qr_create_url");
    config.outcome = InvoiceConfig::kRead;
    return config;
}

const char *bank_value(const cJSON *data, const char *name, const char *missing) noexcept {
    const cJSON *value = member(data, name);
    return value == nullptr ? missing : cJSON_GetStringValue(value);
}

const char *token_in(const cJSON *answer) noexcept {
    const cJSON *top = member(answer, "access_token");
    const char *token =
        top != nullptr ? cJSON_GetStringValue(top) : string_member(member(answer, "data"), "accessToken");
    // JSON escapes can spell a line break, which in the header line would start a header of the bank's choosing.
    return token != nullptr && !has_control_character(token) ? token : nullptr;
}

bool refused(const cJSON *answer) noexcept {
    const cJSON *code = member(member(answer, "status"), "code");
    return code != nullptr && (cJSON_IsNumber(code) ? code->valueint : 0) != 1000;
}

QrAnswer read_qr_answer(const char *qr_text) {
    QrAnswer answer;
    answer.tree.reset(cJSON_Parse(qr_text));
    if (!answer.tree) {
        return answer;
    }
    if (refused(answer.tree.get())) {
        answer.outcome = QrAnswer::kRefused;
        return answer;
    }
    const cJSON *data = member(answer.tree.get(), "data");
    if (!cJSON_IsObject(data)) {
        answer.outcome = QrAnswer::kNoData;
        return answer;
    }
    answer.qr_payload = bank_value(data, "qrRawData", "");
    answer.qr_image = bank_value(data, "qrImage", "");
    answer.transaction_id = bank_value(data, "transactionId", nullptr);
    answer.outcome = QrAnswer::kQr;
    return answer;
}

}  // namespace scb

namespace {

constexpr std::size_t kMessageLimit = 512;
constexpr std::size_t kInfoLimit = 256;
constexpr std::size_t kAmountTextLimit = 31;

const char *const kLiveIntentSql =
    "SELECT id, reference, qr_payload, qr_image_base64, transaction_id, amount, status, channel FROM "
    "scb_payment_intent WHERE invoice_id = $1 AND company_id = $2 AND status NOT IN ('expired', 'cancelled', "
    "'failed') ORDER BY id DESC LIMIT 1";
const char *const kAnyIntentSql = "SELECT id FROM scb_payment_intent WHERE invoice_id = $1 AND company_id = $2";
const char *const kUpdateIntentSql =
    "UPDATE scb_payment_intent SET qr_payload = $1, qr_image_base64 = $2, transaction_id = $3, amount = $4, "
    "write_date = NOW() WHERE id = $5";
const char *const kInsertIntentSql =
    "INSERT INTO scb_payment_intent (invoice_id, company_id, scb_api_config_id, reference, amount,  channel, "
    "qr_payload, qr_image_base64, transaction_id,  status, created_at, create_date, write_date) VALUES ($1, $2, "
    "$3, $4, $5, $6, $7, $8, $9, 'pending',         (NOW() AT TIME ZONE 'UTC'), (NOW() AT TIME ZONE 'UTC'), "
    "(NOW() AT TIME ZONE 'UTC')) RETURNING id";
const char *const kConfirmIntentSql =
    "UPDATE scb_payment_intent SET status = 'confirmed', write_date = NOW() WHERE id = $1";

enum IntentColumn { kId, kReference, kQrPayload, kQrImage, kTransactionId, kAmount, kStatus, kChannel };

std::string decimal(int32_t value) { return scb::format_text("%d", value); }

int32_t to_id(const char *text) noexcept { return static_cast<int32_t>(std::strtol(text, nullptr, 10)); }

void log_statement_failure(const char *what, PGconn *conn) {
    scb_log_error(scb::bounded_format(kMessageLimit, "%s: %s", what, PQerrorMessage(conn)).c_str());
}

char *printed_copy(const cJSON *tree) {
    const scb::CJsonText printed(cJSON_PrintUnformatted(tree));
    return printed ? scb_strdup(printed.get()) : nullptr;
}

void add_string(cJSON *object, const char *name, const char *value) {
    if (cJSON_AddStringToObject(object, name, value) == nullptr) {
        throw std::bad_alloc();
    }
}

void add_number(cJSON *object, const char *name, double value) {
    if (cJSON_AddNumberToObject(object, name, value) == nullptr) {
        throw std::bad_alloc();
    }
}

scb::CJsonTree new_object() {
    scb::CJsonTree object(cJSON_CreateObject());
    if (!object) {
        throw std::bad_alloc();
    }
    return object;
}

char *intent_document(const PGresult *row) {
    auto text = [row](int column) { return scb::first_row_text(row, column); };
    const scb::CJsonTree document = new_object();
    add_number(document.get(), "intent_id", to_id(text(kId)));
    add_string(document.get(), "reference", text(kReference));
    add_string(document.get(), "qr_payload", text(kQrPayload));
    add_string(document.get(), "qr_image_base64", text(kQrImage));
    if (text(kTransactionId)[0] != '\0') {
        add_string(document.get(), "transaction_id", text(kTransactionId));
    }
    add_number(document.get(), "amount", std::strtod(text(kAmount), nullptr));
    add_string(document.get(), "status", text(kStatus));
    add_string(document.get(), "channel", text(kChannel));
    return printed_copy(document.get());
}

char *live_intent(PGconn *conn, int32_t invoice_id, int32_t company_id) {
    if (conn == nullptr) {
        scb_log_error("Database connection is NULL");
        return nullptr;
    }
    const scb::PgResult result =
        scb::run_statement(conn, kLiveIntentSql, {decimal(invoice_id).c_str(), decimal(company_id).c_str()});
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        log_statement_failure("Intent query failed", conn);
        return nullptr;
    }
    if (PQntuples(result.get()) == 0) {
        return nullptr;
    }
    char *document = intent_document(result.get());
    auto text = [&result](int column) { return scb::first_row_text(result.get(), column); };
    scb_log_info(scb::bounded_format(kInfoLimit, "Found existing intent: id=%s, ref=%s, status=%s", text(kId),
                                     text(kReference), text(kStatus))
                     .c_str());
    return document;
}

// The row any earlier write made for the invoice, dead or alive; -1 when none.
int32_t existing_intent(PGconn *conn, const std::string &invoice_id, const std::string &company_id) {
    const scb::PgResult result = scb::run_statement(conn, kAnyIntentSql, {invoice_id.c_str(), company_id.c_str()});
    return scb::has_rows(result.get()) ? to_id(scb::first_row_text(result.get(), 0)) : -1;
}

int32_t write_intent(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id,
                     const char *reference, const char *channel, const char *qr_payload, const char *qr_image,
                     double amount, const char *transaction_id) {
    if (conn == nullptr) {
        scb_log_error("Database connection is NULL");
        return -1;
    }
    // The table must never hold a cut or non-numeric amount.
    const std::string amount_text = scb::amount_text(amount);
    if (!std::isfinite(amount) || amount_text.size() > kAmountTextLimit) {
        scb_log_error(scb::bounded_format(kMessageLimit, "Intent amount out of range: %s", amount_text.c_str()).c_str());
        return -1;
    }
    const std::string invoice = decimal(invoice_id);
    const std::string company = decimal(company_id);
    const int32_t existing = existing_intent(conn, invoice, company);
    const char *stored_transaction = scb::or_empty(transaction_id);
    if (existing >= 0) {
        const scb::PgResult updated = scb::run_statement(
            conn, kUpdateIntentSql,
            {qr_payload, qr_image, stored_transaction, amount_text.c_str(), decimal(existing).c_str()});
        if (!scb::command_ok(updated.get())) {
            log_statement_failure("Intent update failed", conn);
            return -1;
        }
        scb_log_info("Intent updated in database");
        return existing;
    }
    const scb::PgResult inserted = scb::run_statement(
        conn, kInsertIntentSql,
        {invoice.c_str(), company.c_str(), decimal(config_id).c_str(), reference, amount_text.c_str(), channel,
         qr_payload, qr_image, stored_transaction});
    if (!scb::has_rows(inserted.get())) {
        log_statement_failure("Intent insert failed", conn);
        return -1;
    }
    const int32_t id = to_id(scb::first_row_text(inserted.get(), 0));
    scb_log_info(scb::bounded_format(kInfoLimit, "Intent created: id=%d, ref=%s", id, scb::or_empty(reference)).c_str());
    return id;
}

int32_t confirm_intent(PGconn *conn, int32_t intent_id) {
    if (conn == nullptr) {
        scb_log_error("Database connection is NULL");
        return -1;
    }
    const scb::PgResult result = scb::run_statement(conn, kConfirmIntentSql, {decimal(intent_id).c_str()});
    if (!scb::command_ok(result.get())) {
        log_statement_failure("Intent confirm failed", conn);
        return -1;
    }
    scb_log_info(scb::bounded_format(kInfoLimit, "Intent confirmed: id=%d", intent_id).c_str());
    return 0;
}

struct InvoiceRequest {
    PGconn *conn;
    int32_t invoice_id;
    int32_t company_id;
    int32_t config_id;
    const char *reference;
    const char *bank_account_id;
    double amount;
};

char *invoice_qr_document(int32_t intent_id, const InvoiceRequest &request, const char *qr_payload,
                          const char *qr_image, const char *transaction_id) {
    const scb::CJsonTree document = new_object();
    add_number(document.get(), "intent_id", intent_id);
    add_string(document.get(), "reference", scb::or_empty(request.reference));
    add_number(document.get(), "amount", request.amount);
    const std::pair<const char *, const char *> bank_members[] = {
        {"qr_payload", qr_payload}, {"qr_image_base64", qr_image}, {"transaction_id", transaction_id}};
    for (const auto &bank_member : bank_members) {
        if (bank_member.second != nullptr) {
            add_string(document.get(), bank_member.first, bank_member.second);
        }
    }
    return printed_copy(document.get());
}

// Stores the bank's new QR as the invoice's intent and answers with it.
char *store_new_qr(const InvoiceRequest &request, const char *qr_text) {
    const scb::QrAnswer answer = scb::read_qr_answer(qr_text);
    switch (answer.outcome) {
        case scb::QrAnswer::kNotJson:
            return scb_create_error_response(9103, "Invalid QR response");
        case scb::QrAnswer::kRefused:
            return printed_copy(answer.tree.get());
        case scb::QrAnswer::kNoData:
            // A success without a QR object would be stored and handed back for good.
            return scb_create_error_response(9103, "No data in QR response");
        case scb::QrAnswer::kQr:
            break;
    }
    const int32_t intent_id = scb_intent_upsert(request.conn, request.invoice_id, request.company_id,
                                                request.config_id, request.reference, "invoice", answer.qr_payload,
                                                answer.qr_image, request.amount, answer.transaction_id);
    if (intent_id < 0) {
        return scb_create_error_response(9002, "Failed to store intent");
    }
    return invoice_qr_document(intent_id, request, answer.qr_payload, answer.qr_image, answer.transaction_id);
}

// A fresh token and a new QR at the bank for the bank account's configuration.
char *new_invoice_qr(const InvoiceRequest &request) {
    scb::ScbText document(scb_db_get_config_by_bank(request.conn, request.bank_account_id));
    if (!document) {
        scb_log_error("Failed to get SCB config from database");
        return scb_create_error_response(9003, "SCB configuration not found");
    }
    const scb::InvoiceConfig config = scb::read_invoice_config(document.get());
    document.reset();
    if (config.outcome == scb::InvoiceConfig::kNotJson) {
        scb_log_error("Failed to parse config JSON");
        return scb_create_error_response(9004, "Invalid configuration data");
    }
    if (config.outcome == scb::InvoiceConfig::kIncomplete) {
        scb_log_error("Missing required config fields");
        return scb_create_error_response(9004, "Incomplete configuration");
    }
    scb::ScbText token_text(scb_refresh_token(config.api_key, config.api_secret, config.token_url));
    if (!token_text) {
        return scb_create_error_response(9302, "Failed to get access token");
    }
    const scb::CJsonTree token_answer(cJSON_Parse(token_text.get()));
    token_text.reset();
    if (!token_answer) {
        return scb_create_error_response(9302, "Invalid token response");
    }
    const char *token = scb::token_in(token_answer.get());
    if (token == nullptr) {
        return scb_create_error_response(9302, "No access token in response");
    }
    const scb::ScbText qr_text(scb_create_qr_full(config.api_key, token, config.qr_create_url, config.biller_id,
                                                  request.reference, "INVOICE", "SCB", request.amount));
    if (!qr_text) {
        return scb_create_error_response(9102, "Failed to create QR");
    }
    return store_new_qr(request, qr_text.get());
}

char *qr_for_invoice(const InvoiceRequest &request) {
    if (request.conn == nullptr) {
        scb_log_error("Database connection is NULL");
        return scb_create_error_response(9002, "Database connection required");
    }
    char *stored = scb_intent_get_by_invoice(request.conn, request.invoice_id, request.company_id);
    if (stored != nullptr) {
        scb_log_info("Found existing intent - returning cached QR");
        return stored;
    }
    if (scb::connection_lost(request.conn)) {
        return scb::database_unreachable(scb::kConnectFailedLog);
    }
    scb_log_info("No existing intent - creating new QR via SCB API");
    return new_invoice_qr(request);
}

}  // namespace

extern "C" {

char *scb_intent_get_by_invoice(PGconn *conn, int32_t invoice_id, int32_t company_id) noexcept {
    return scb::guarded<char *>(nullptr, [&] { return live_intent(conn, invoice_id, company_id); });
}

int32_t scb_intent_upsert(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id,
                          const char *reference, const char *channel, const char *qr_payload,
                          const char *qr_image_base64, double amount, const char *transaction_id) noexcept {
    return scb::guarded<int32_t>(-1, [&] {
        return write_intent(conn, invoice_id, company_id, config_id, reference, channel, qr_payload, qr_image_base64,
                            amount, transaction_id);
    });
}

int32_t scb_intent_confirm(PGconn *conn, int32_t intent_id) noexcept {
    return scb::guarded<int32_t>(-1, [&] { return confirm_intent(conn, intent_id); });
}

char *scb_create_qr_for_invoice(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id,
                                const char *reference, const char *bank_account_id, double amount) noexcept {
    return scb::guarded<char *>(nullptr, [&] {
        return qr_for_invoice({conn, invoice_id, company_id, config_id, reference, bank_account_id, amount});
    });
}

}  // extern "C"
