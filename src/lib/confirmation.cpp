#include "confirmation.hpp"

#include <cstdlib>
#include <vector>

#include "db.hpp"
#include "erp_session.hpp"
#include "inquiry.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace scb {

namespace {

enum PayableColumn { kId, kInvoiceId, kCompanyId, kAmount, kStatus, kTransactionId, kConfigId, kReference };

const char *const kInvoiceReference2 = "INVOICE";

const char *outcome_name(PaymentOutcome outcome) noexcept {
    switch (outcome) {
        case PaymentOutcome::kConfirmed:
            return "confirmed";
        case PaymentOutcome::kAlreadyConfirmed:
            return "already_confirmed";
        case PaymentOutcome::kDuplicatePayment:
            return "duplicate_payment";
        case PaymentOutcome::kAmountMismatch:
            return "amount_mismatch";
        case PaymentOutcome::kUnmatched:
            return "unmatched";
        case PaymentOutcome::kError:
            return "error";
        case PaymentOutcome::kNotVerified:
            break;
    }
    return "not_verified";
}

constexpr std::size_t kNotifiedTextLimit = 128;

cJSON *number_or_null(const std::optional<double> &value) {
    return value ? cJSON_CreateNumber(*value) : cJSON_CreateNull();
}

// The outcomes the ERP must act on; a replay, an unverified payment and a failed check are not news.
bool heard_by_erp(PaymentOutcome outcome) noexcept {
    return outcome == PaymentOutcome::kConfirmed || outcome == PaymentOutcome::kDuplicatePayment ||
           outcome == PaymentOutcome::kAmountMismatch || outcome == PaymentOutcome::kUnmatched;
}

std::string notified_text(const std::string &text) {
    return utf8_prefix(valid_utf8(text), kNotifiedTextLimit);
}

ScbText notification_failed(PGconn *conn) {
    scb_log_error(bounded_format(512, "Payment notification failed: %s", PQerrorMessage(conn)).c_str());
    return ScbText(scb_create_error_response(9002, "Failed to send the payment notification"));
}

// Sent on the caller's session, inside its transaction when one is open: the
// server delivers it at the commit, and never when the transaction rolls back.
bool notify_payment(PGconn *conn, PaymentOutcome outcome, const PayableIntent *intent, const PaymentFound &payment,
                    const std::string &biller_id) {
    if (!heard_by_erp(outcome)) {
        return true;
    }
    const std::string document = payment_notification(outcome, intent, payment, biller_id);
    const PgResult sent = run_statement(conn, sql::kNotifyPayment, {document.c_str()});
    return PQresultStatus(sent.get()) == PGRES_TUPLES_OK;
}

ScbText confirm_failed(PGconn *conn) {
    scb_log_error(bounded_format(512, "Intent confirm failed: %s", PQerrorMessage(conn)).c_str());
    return ScbText(scb_create_error_response(9002, "Failed to confirm intent"));
}

// A replay or a second payment, read after the conditional update found the
// intent no longer pending.
Outcome<PaymentOutcome> settled_meanwhile(PGconn *conn, const PayableIntent &intent, const PaymentFound &payment) {
    const PgResult state = run_statement(conn, sql::kIntentState, {format_text("%d", intent.id).c_str()});
    if (!has_rows(state.get())) {
        return Outcome<PaymentOutcome>::failed(database_unreachable("Failed to read the intent after confirming it"));
    }
    const std::string status = first_row_text(state.get(), 0);
    if (status != "confirmed") {
        return PaymentOutcome::kUnmatched;
    }
    return payment.transaction_id == first_row_text(state.get(), 1) ? PaymentOutcome::kAlreadyConfirmed
                                                                      : PaymentOutcome::kDuplicatePayment;
}

// A payment of another amount than the intent's. When a cancelled QR of the
// same invoice and reference asked for exactly that amount, the payment was
// made for that QR, late: it pays no live intent. Else the invoice was paid
// the wrong amount.
Outcome<PaymentOutcome> other_amount(PGconn *conn, const PayableIntent &intent, const PaymentFound &payment) {
    const PgResult cancelled = run_statement(
        conn, sql::kCancelledIntentOfAmount,
        {format_text("%d", intent.invoice_id).c_str(), format_text("%d", intent.company_id).c_str(),
         intent.reference.c_str(), baht_text(payment.satang).c_str()});
    if (PQresultStatus(cancelled.get()) != PGRES_TUPLES_OK) {
        scb_log_error(bounded_format(512, "Cancelled intent lookup failed: %s", PQerrorMessage(conn)).c_str());
        return Outcome<PaymentOutcome>::failed(ScbText(scb_create_error_response(9002, "Failed to look up the intent")));
    }
    return PQntuples(cancelled.get()) > 0 ? PaymentOutcome::kUnmatched : PaymentOutcome::kAmountMismatch;
}

Outcome<PaymentOutcome> decided(PGconn *conn, const PayableIntent &intent, const PaymentFound &payment) {
    if (intent.status == "confirmed") {
        return payment.transaction_id == intent.transaction_id ? PaymentOutcome::kAlreadyConfirmed
                                                                : PaymentOutcome::kDuplicatePayment;
    }
    if (satang_of(intent.amount) != payment.satang) {
        return other_amount(conn, intent, payment);
    }
    const PgResult updated = run_statement(
        conn, sql::kConfirmPendingIntent, {format_text("%d", intent.id).c_str(), payment.transaction_id.c_str()});
    if (PQresultStatus(updated.get()) != PGRES_TUPLES_OK) {
        return Outcome<PaymentOutcome>::failed(confirm_failed(conn));
    }
    if (PQntuples(updated.get()) == 0) {
        return settled_meanwhile(conn, intent, payment);
    }
    scb_log_info(bounded_format(256, "Intent confirmed: id=%d", intent.id).c_str());
    return PaymentOutcome::kConfirmed;
}

// Whether an inquiry answer that lists payments holds the record's
// transaction at its amount; else the failure to answer with.
Outcome<bool> verified(ScbText answer, const PaymentRecord &record) {
    const InquiryPayments read = read_inquiry_payments(answer.get());
    if (read.reading != InquiryPayments::kPayments) {
        return Outcome<bool>::failed(inquiry_failure(std::move(answer), read.reading));
    }
    for (const PaymentFound &payment : read.payments) {
        if (payment.transaction_id == record.transaction_id && payment.satang == record.satang) {
            return true;
        }
    }
    return false;
}

ScbText handed_out(const PaymentCheck &check) {
    return ScbText(to_c_text(payment_check_document(check)));
}

// The verified payment settled in a transaction of its own, which holds the
// confirmation and its notification together.
Outcome<PaymentOutcome> settled_at_once(PGconn *conn, const PayableIntent &intent, const PaymentFound &payment,
                                        const std::string &biller_id) {
    Transaction settling(conn);
    if (!settling.begun()) {
        return Outcome<PaymentOutcome>::failed(confirm_failed(conn));
    }
    Outcome<PaymentOutcome> settled = settle_payment(conn, intent, payment, biller_id);
    if (settled && !settling.commit()) {
        scb_log_error(bounded_format(512, "Confirmation commit failed: %s", PQerrorMessage(conn)).c_str());
        return Outcome<PaymentOutcome>::failed(
            ScbText(scb_create_error_response(9002, "Failed to commit the confirmation")));
    }
    return settled;
}

// Matched, verified with the bank on the intent's configuration, settled.
ScbText check_record(PGconn *conn, const PaymentRecord &record) {
    const PaymentFound claimed{record.transaction_id, record.satang, record.reference1, record.reference2,
                               record.paid_at};
    PaymentCheck check{PaymentOutcome::kUnmatched, nullptr, &claimed};
    const PgResult match = run_statement(conn, sql::kMatchIntent, {record.payee_proxy_id.c_str(), record.reference1.c_str()});
    if (PQresultStatus(match.get()) != PGRES_TUPLES_OK) {
        return connection_lost(conn) ? database_unreachable(kConnectFailedLog)
                                     : ScbText(scb_create_error_response(9002, "Failed to look up the intent"));
    }
    if (record.reference2 != kInvoiceReference2 || PQntuples(match.get()) == 0) {
        log_payment_problem(PaymentOutcome::kUnmatched, record.transaction_id, record.payee_proxy_id,
                            record.reference1, record.reference2, record.satang);
        if (!notify_payment(conn, check.outcome, nullptr, claimed, record.payee_proxy_id)) {
            return notification_failed(conn);
        }
        return handed_out(check);
    }
    const PayableIntent intent = payable_intent_of(match.get());
    check.intent = &intent;
    Outcome<InquiryChannel> channel = open_inquiry(conn, intent.config_id.c_str());
    if (!channel) {
        return channel.failure();
    }
    const InquiryQuery query{"", record.payee_proxy_id, record.reference1, record.reference2,
                             baht_text(record.satang), record.paid_on};
    Outcome<bool> shown = verified(inquire(*channel, query, conn), record);
    if (!shown) {
        return shown.failure();
    }
    if (!*shown) {
        check.outcome = PaymentOutcome::kNotVerified;
        return handed_out(check);
    }
    Outcome<PaymentOutcome> settled = settled_at_once(conn, intent, claimed, record.payee_proxy_id);
    if (!settled) {
        return settled.failure();
    }
    check.outcome = *settled;
    return handed_out(check);
}

}  // namespace

PayableIntent payable_intent_of(const PGresult *row) {
    auto text = [row](int column) { return std::string(first_row_text(row, column)); };
    auto number = [row](int column) { return static_cast<int32_t>(std::strtol(first_row_text(row, column), nullptr, 10)); };
    return PayableIntent{number(kId), number(kInvoiceId), number(kCompanyId), text(kAmount), text(kStatus),
                         text(kTransactionId), text(kConfigId), text(kReference)};
}

Outcome<PaymentOutcome> settle_payment(PGconn *conn, const PayableIntent &intent, const PaymentFound &payment,
                                       const std::string &biller_id) {
    Outcome<PaymentOutcome> outcome = decided(conn, intent, payment);
    if (!outcome) {
        return outcome;
    }
    if (*outcome != PaymentOutcome::kConfirmed && heard_by_erp(*outcome)) {
        log_payment_problem(*outcome, payment.transaction_id, biller_id, intent.reference, payment.reference2,
                            payment.satang);
    }
    if (!notify_payment(conn, *outcome, &intent, payment, biller_id)) {
        return Outcome<PaymentOutcome>::failed(notification_failed(conn));
    }
    return outcome;
}

ScbText inquiry_failure(ScbText answer, InquiryPayments::Reading reading) {
    if (!answer || reading == InquiryPayments::kBankFailure) {
        return answer;
    }
    const bool json = reading == InquiryPayments::kNotBankAnswer;
    scb_log_error(json ? "Payment inquiry answer has no status code" : "Payment inquiry answer is not JSON");
    return ScbText(scb_create_error_response(
        9103, json ? "Payment inquiry answer is not a bank answer" : "Unreadable payment inquiry answer"));
}

void log_payment_problem(PaymentOutcome outcome, const std::string &transaction_id, const std::string &biller_id,
                         const std::string &reference1, const std::string &reference2, int64_t satang) {
    const char *what = outcome == PaymentOutcome::kDuplicatePayment ? "Second payment for a confirmed intent"
                       : outcome == PaymentOutcome::kAmountMismatch ? "Payment amount differs from the intent's"
                                                                    : "Payment for no known intent";
    scb_log_error(bounded_format(1024, "%s: transaction %s, biller %s, references %s / %s, amount %s", what,
                                 transaction_id.c_str(), biller_id.c_str(), reference1.c_str(), reference2.c_str(),
                                 baht_text(satang).c_str())
                      .c_str());
}

namespace {

CJsonTree check_tree(const PaymentCheck &check) {
    CJsonTree document = new_json_object();
    const PayableIntent *intent = check.intent;
    const auto intent_number = [intent](int32_t PayableIntent::*field) {
        return number_or_null(intent != nullptr ? std::optional<double>(intent->*field) : std::nullopt);
    };
    add_member(document.get(), "outcome", cJSON_CreateString(outcome_name(check.outcome)));
    add_member(document.get(), "intent_id", intent_number(&PayableIntent::id));
    add_member(document.get(), "invoice_id", intent_number(&PayableIntent::invoice_id));
    add_member(document.get(), "company_id", intent_number(&PayableIntent::company_id));
    add_member(document.get(), "transaction_id",
        check.payment != nullptr ? cJSON_CreateString(check.payment->transaction_id.c_str()) : cJSON_CreateNull());
    add_member(document.get(), "paid_amount",
        number_or_null(check.payment != nullptr ? std::optional<double>(check.payment->satang / 100.0) : std::nullopt));
    add_member(document.get(), "intent_amount",
        number_or_null(intent != nullptr ? std::optional<double>(std::strtod(intent->amount.c_str(), nullptr))
                                         : std::nullopt));
    if (check.outcome == PaymentOutcome::kError) {
        add_member(document.get(), "error", check.failure != nullptr ? cJSON_Parse(check.failure) : cJSON_CreateNull());
    }
    return document;
}

}  // namespace

std::string payment_check_document(const PaymentCheck &check) {
    return printed_json(check_tree(check).get());
}

std::string payment_notification(PaymentOutcome outcome, const PayableIntent *intent, const PaymentFound &payment,
                                 const std::string &biller_id) {
    const PaymentFound shown{notified_text(payment.transaction_id), payment.satang,
                             notified_text(payment.reference1), notified_text(payment.reference2),
                             notified_text(payment.paid_at)};
    const CJsonTree document = check_tree(PaymentCheck{outcome, intent, &shown});
    add_member(document.get(), "biller_id", cJSON_CreateString(notified_text(biller_id).c_str()));
    add_member(document.get(), "reference1", cJSON_CreateString(shown.reference1.c_str()));
    add_member(document.get(), "reference2", cJSON_CreateString(shown.reference2.c_str()));
    add_member(document.get(), "paid_at",
               shown.paid_at.empty() ? cJSON_CreateNull() : cJSON_CreateString(shown.paid_at.c_str()));
    return printed_json(document.get());
}

ScbText confirm_payment(std::string_view record_text) {
    std::string fault;
    const std::optional<PaymentRecord> record = read_payment_record(record_text, fault);
    if (!record) {
        const std::string description = "Invalid payment confirmation record: " + fault;
        scb_log_error(description.c_str());
        return ScbText(scb_create_error_response(9004, description.c_str()));
    }
    scb_log_info(bounded_format(512, "Payment confirmation received: transaction %s, biller %s, reference %s",
                                record->transaction_id.c_str(), record->payee_proxy_id.c_str(),
                                record->reference1.c_str())
                     .c_str());
    Outcome<DbSession> session = open_erp_session();
    if (!session) {
        return session.failure();
    }
    return check_record(session->get(), *record);
}

}  // namespace scb
