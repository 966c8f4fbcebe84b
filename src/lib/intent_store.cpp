#include "intent_store.hpp"

#include <cmath>
#include <cstdlib>

#include "db.hpp"
#include "owned.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace scb {

namespace {

constexpr std::size_t kMessageLimit = 512;
constexpr std::size_t kInfoLimit = 256;
constexpr std::size_t kAmountTextLimit = 31;

enum IntentColumn { kId, kReference, kQrPayload, kQrImage, kTransactionId, kAmount, kStatus, kChannel };

std::string decimal(int32_t value) { return format_text("%d", value); }

int32_t to_id(const char *text) noexcept { return static_cast<int32_t>(std::strtol(text, nullptr, 10)); }

void log_statement_failure(const char *what, PGconn *conn) {
    scb_log_error(bounded_format(kMessageLimit, "%s: %s", what, PQerrorMessage(conn)).c_str());
}

void add_string(cJSON *object, const char *name, const std::string &value) {
    add_member(object, name, cJSON_CreateString(value.c_str()));
}

void add_number(cJSON *object, const char *name, double value) {
    add_member(object, name, cJSON_CreateNumber(value));
}

Intent intent_of_row(const PGresult *row) {
    auto text = [row](int column) { return std::string(first_row_text(row, column)); };
    return Intent{
        to_id(first_row_text(row, kId)), text(kReference), text(kQrPayload), text(kQrImage), text(kTransactionId),
        std::strtod(first_row_text(row, kAmount), nullptr), text(kStatus), text(kChannel),
    };
}

// The row any earlier write made for the invoice, dead or alive.
std::optional<int32_t> existing_intent(PGconn *conn, const std::string &invoice_id, const std::string &company_id) {
    const PgResult result = run_statement(conn, sql::kAnyIntent, {invoice_id.c_str(), company_id.c_str()});
    if (!has_rows(result.get())) {
        return std::nullopt;
    }
    return to_id(first_row_text(result.get(), 0));
}

}  // namespace

std::optional<Intent> live_intent(PGconn *conn, int32_t invoice_id, int32_t company_id) {
    const PgResult result =
        run_statement(conn, sql::kLiveIntent, {decimal(invoice_id).c_str(), decimal(company_id).c_str()});
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        log_statement_failure("Intent query failed", conn);
        return std::nullopt;
    }
    if (PQntuples(result.get()) == 0) {
        return std::nullopt;
    }
    Intent intent = intent_of_row(result.get());
    scb_log_info(bounded_format(kInfoLimit, "Found existing intent: id=%s, ref=%s, status=%s",
                                first_row_text(result.get(), kId), intent.reference.c_str(), intent.status.c_str())
                     .c_str());
    return intent;
}

std::string intent_document(const Intent &intent) {
    const CJsonTree document = new_json_object();
    add_number(document.get(), "intent_id", intent.id);
    add_string(document.get(), "reference", intent.reference);
    add_string(document.get(), "qr_payload", intent.qr_payload);
    add_string(document.get(), "qr_image_base64", intent.qr_image_base64);
    if (!intent.transaction_id.empty()) {
        add_string(document.get(), "transaction_id", intent.transaction_id);
    }
    add_number(document.get(), "amount", intent.amount);
    add_string(document.get(), "status", intent.status);
    add_string(document.get(), "channel", intent.channel);
    return printed_json(document.get());
}

std::optional<int32_t> write_intent(PGconn *conn, const IntentWrite &write) {
    // The table must never hold a cut or non-numeric amount.
    const std::string amount = amount_text(write.amount);
    if (!std::isfinite(write.amount) || amount.size() > kAmountTextLimit) {
        scb_log_error(bounded_format(kMessageLimit, "Intent amount out of range: %s", amount.c_str()).c_str());
        return std::nullopt;
    }
    const std::string invoice = decimal(write.invoice_id);
    const std::string company = decimal(write.company_id);
    const std::optional<int32_t> existing = existing_intent(conn, invoice, company);
    const char *stored_transaction = or_empty(write.transaction_id);
    if (existing) {
        const PgResult updated =
            run_statement(conn, sql::kUpdateIntent,
                          {write.qr_payload, write.qr_image_base64, stored_transaction, amount.c_str(),
                           decimal(*existing).c_str()});
        if (!command_ok(updated.get())) {
            log_statement_failure("Intent update failed", conn);
            return std::nullopt;
        }
        scb_log_info("Intent updated in database");
        return existing;
    }
    const PgResult inserted = run_statement(
        conn, sql::kInsertIntent,
        {invoice.c_str(), company.c_str(), decimal(write.config_id).c_str(), write.reference, amount.c_str(),
         write.channel, write.qr_payload, write.qr_image_base64, stored_transaction});
    if (!has_rows(inserted.get())) {
        log_statement_failure("Intent insert failed", conn);
        return std::nullopt;
    }
    const int32_t id = to_id(first_row_text(inserted.get(), 0));
    scb_log_info(
        bounded_format(kInfoLimit, "Intent created: id=%d, ref=%s", id, or_empty(write.reference)).c_str());
    return id;
}

bool confirm_intent(PGconn *conn, int32_t intent_id) {
    const PgResult result = run_statement(conn, sql::kConfirmIntent, {decimal(intent_id).c_str()});
    if (!command_ok(result.get())) {
        log_statement_failure("Intent confirm failed", conn);
        return false;
    }
    scb_log_info(bounded_format(kInfoLimit, "Intent confirmed: id=%d", intent_id).c_str());
    return true;
}

}  // namespace scb
