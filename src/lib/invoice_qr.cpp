#include "invoice_qr.hpp"

#include <optional>
#include <string>
#include <utility>

#include "config.hpp"
#include "db.hpp"
#include "erp_session.hpp"
#include "intent_store.hpp"
#include "qr.hpp"
#include "readers.hpp"
#include "scb.h"
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

}  // namespace

ScbText qr_for_invoice(const InvoiceRequest &request) {
    if (request.conn == nullptr) {
        scb_log_error("Database connection is NULL");
        return envelope(9002, "Database connection required");
    }
    const std::optional<Intent> stored = live_intent(request.conn, request.invoice_id, request.company_id);
    if (stored) {
        scb_log_info("Found existing intent - returning cached QR");
        return ScbText(to_c_text(intent_document(*stored)));
    }
    if (connection_lost(request.conn)) {
        return database_unreachable(kConnectFailedLog);
    }
    scb_log_info("No existing intent - creating new QR via SCB API");
    return new_invoice_qr(request);
}

}  // namespace scb
