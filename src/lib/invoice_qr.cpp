#include "invoice_qr.hpp"

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.hpp"
#include "db.hpp"
#include "erp_session.hpp"
#include "intent_store.hpp"
#include "qr.hpp"
#include "readers.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"
#include "token_endpoint.hpp"

namespace scb {

namespace {

ScbText envelope(int32_t code, const char *description) {
    return ScbText(scb_create_error_response(code, description));
}

ScbText printed_copy(const cJSON *tree) {
    return ScbText(to_c_text(printed_json(tree)));
}

ScbText invoice_qr_document(int32_t intent_id, const InvoiceRequest &request, const QrAnswer &answer) {
    const CJsonTree document = new_json_object();
    add_member(document.get(), "intent_id", cJSON_CreateNumber(intent_id));
    add_member(document.get(), "reference", cJSON_CreateString(or_empty(request.reference)));
    add_member(document.get(), "amount", cJSON_CreateNumber(request.amount));
    const std::pair<const char *, const char *> bank_members[] = {
        {"qr_payload", answer.qr_payload}, {"qr_image_base64", answer.qr_image},
        {"transaction_id", answer.transaction_id}};
    for (const auto &[name, value] : bank_members) {
        if (value != nullptr) {
            add_member(document.get(), name, cJSON_CreateString(value));
        }
    }
    return printed_copy(document.get());
}

// Stores the bank's new QR as the invoice's intent and answers with it.
ScbText store_new_qr(const InvoiceRequest &request, const char *qr_text) {
    const QrAnswer answer = read_qr_answer(qr_text);
    switch (answer.outcome) {
        case QrAnswer::kNotJson:
            return envelope(9103, "Invalid QR response");
        case QrAnswer::kRefused:
            return printed_copy(answer.tree.get());
        case QrAnswer::kNoData:
            // A success without a QR object would be stored and handed back for good.
            return envelope(9103, "No data in QR response");
        case QrAnswer::kQr:
            break;
    }
    const IntentWrite write{request.invoice_id, request.company_id, request.config_id, request.reference,
                            "invoice",          answer.qr_payload,  answer.qr_image,   request.amount,
                            answer.transaction_id};
    const std::optional<int32_t> intent_id = write_intent(request.conn, write);
    if (!intent_id) {
        return envelope(9002, "Failed to store intent");
    }
    return invoice_qr_document(*intent_id, request, answer);
}

// A fresh token and a new QR at the bank for the bank account's configuration.
ScbText new_invoice_qr(const InvoiceRequest &request) {
    const std::optional<BankAccountConfig> config = config_for_bank_account(request.conn, request.bank_account_id);
    if (!config) {
        scb_log_error("Failed to get SCB config from database");
        return envelope(9003, "SCB configuration not found");
    }
    ScbText token_text = request_token(config->api_key, config->api_secret, config->urls.token);
    if (!token_text) {
        return envelope(9302, "Failed to get access token");
    }
    const CJsonTree token_answer(cJSON_Parse(token_text.get()));
    token_text.reset();
    if (!token_answer) {
        return envelope(9302, "Invalid token response");
    }
    const char *token = token_in(token_answer.get());
    if (token == nullptr) {
        return envelope(9302, "No access token in response");
    }
    const QrRequest qr{config->biller_id, or_empty(request.reference), "INVOICE", or_empty(request.ref3),
                       request.amount};
    const ScbText qr_text = create_qr_full(config->api_key, token, config->urls.qr_create, qr);
    if (!qr_text) {
        return envelope(9102, "Failed to create QR");
    }
    return store_new_qr(request, qr_text.get());
}

// The stored QR asks for what it was made with; the ERP must cancel it to get one for the new terms.
void warn_if_stale(const Intent &stored, const InvoiceRequest &request) {
    const std::string stored_amount = amount_text(stored.amount);
    const std::string asked_amount = amount_text(request.amount);
    const char *asked_reference = or_empty(request.reference);
    if (stored_amount == asked_amount && stored.reference == asked_reference) {
        return;
    }
    scb_log_error(bounded_format(1024,
                                 "Stored invoice QR differs from the call: intent %d, amount %s stored / %s asked, "
                                 "reference %s stored / %s asked; cancel it for a new QR",
                                 stored.id, stored_amount.c_str(), asked_amount.c_str(), stored.reference.c_str(),
                                 asked_reference)
                      .c_str());
}

std::vector<int> ids_of(const PGresult *rows) {
    std::vector<int> ids;
    for (int row = 0; row < PQntuples(rows); ++row) {
        ids.push_back(static_cast<int>(std::strtol(PQgetvalue(rows, row, 0), nullptr, 10)));
    }
    return ids;
}

cJSON *id_list(const std::vector<int> &ids) {
    return ids.empty() ? cJSON_CreateArray() : cJSON_CreateIntArray(ids.data(), static_cast<int>(ids.size()));
}

const char *cancel_description(const std::vector<int> &cancelled, const std::vector<int> &confirmed) noexcept {
    if (!cancelled.empty()) {
        return "Invoice QR cancelled";
    }
    return confirmed.empty() ? "No pending QR to cancel" : "Invoice already paid: a confirmed intent is not cancelled";
}

ScbText cancel_answer(const std::vector<int> &cancelled, const std::vector<int> &confirmed) {
    const CJsonTree document = new_json_object();
    CJsonTree status = new_json_object();
    add_member(status.get(), "code", cJSON_CreateNumber(1000));
    add_member(status.get(), "description", cJSON_CreateString(cancel_description(cancelled, confirmed)));
    add_member(document.get(), "status", status.release());
    CJsonTree data = new_json_object();
    add_member(data.get(), "cancelled", id_list(cancelled));
    add_member(data.get(), "confirmed", id_list(confirmed));
    add_member(document.get(), "data", data.release());
    return printed_copy(document.get());
}

}  // namespace

ScbText qr_for_invoice(const InvoiceRequest &request) {
    if (request.conn == nullptr) {
        scb_log_error("Database connection is NULL");
        return envelope(9002, "Database connection required");
    }
    const std::optional<Intent> stored = live_intent(request.conn, request.invoice_id, request.company_id);
    if (stored) {
        scb_log_info("Found existing intent - returning cached QR");
        warn_if_stale(*stored, request);
        return ScbText(to_c_text(intent_document(*stored)));
    }
    if (connection_lost(request.conn)) {
        return database_unreachable(kConnectFailedLog);
    }
    scb_log_info("No existing intent - creating new QR via SCB API");
    return new_invoice_qr(request);
}

ScbText cancel_invoice_qr(int32_t invoice_id, int32_t company_id) {
    Outcome<DbSession> session = open_erp_session();
    if (!session) {
        return session.failure();
    }
    PGconn *conn = session->get();
    const std::string invoice = format_text("%d", invoice_id);
    const std::string company = format_text("%d", company_id);
    // The update waits for a confirmation holding the row and then finds it no longer pending.
    const PgResult cancelled = run_statement(conn, sql::kCancelPendingIntents, {invoice.c_str(), company.c_str()});
    const PgResult confirmed = PQresultStatus(cancelled.get()) == PGRES_TUPLES_OK
                                   ? run_statement(conn, sql::kConfirmedIntents, {invoice.c_str(), company.c_str()})
                                   : PgResult();
    if (PQresultStatus(confirmed.get()) != PGRES_TUPLES_OK) {
        scb_log_error(bounded_format(512, "Invoice QR cancel failed: %s", PQerrorMessage(conn)).c_str());
        return envelope(9002, "Failed to cancel the invoice's QR");
    }
    scb_log_info(bounded_format(256, "Invoice QR cancel: invoice %d, company %d, %d intent(s) cancelled, %d confirmed",
                                invoice_id, company_id, PQntuples(cancelled.get()), PQntuples(confirmed.get()))
                     .c_str());
    return cancel_answer(ids_of(cancelled.get()), ids_of(confirmed.get()));
}

}  // namespace scb
