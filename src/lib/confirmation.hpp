// Knowing when an invoice is paid: a payment the bank confirms is matched to
// the invoice's intent and confirms it exactly once. Shared by the bank's
// payment confirmations and the reconciliation of pending intents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <libpq-fe.h>

#include "outcome.hpp"
#include "owned.hpp"
#include "readers.hpp"

namespace scb {

// An intent as the payment checks read it: the columns of sql::kMatchIntent
// and sql::kClaimIntent.
struct PayableIntent {
    int32_t id = 0;
    int32_t invoice_id = 0;
    int32_t company_id = 0;
    std::string amount;
    std::string status;
    std::string transaction_id;
    std::string config_id;
    std::string reference;
};

PayableIntent payable_intent_of(const PGresult *row);

// kError: a reconciliation's check of one intent failed.
enum class PaymentOutcome {
    kConfirmed, kAlreadyConfirmed, kDuplicatePayment, kAmountMismatch, kUnmatched, kNotVerified, kError
};

// What a payment check answers for one intent (or none).
struct PaymentCheck {
    PaymentOutcome outcome = PaymentOutcome::kNotVerified;
    const PayableIntent *intent = nullptr;
    const PaymentFound *payment = nullptr;
    const char *failure = nullptr;  // with kError: the failure's envelope
};

// A payment the bank verified, held against its intent: confirmed when the
// amount is the intent's to the satang and the intent is pending (the update
// is conditioned on the status, so two deliveries confirm once); a replay
// when already confirmed with this transaction, a second payment when with
// another. Writes the error line of a second payment or a wrong amount, and
// sends the notification of every outcome but a replay. Runs inside the
// caller's transaction, so that a confirmation is heard only once committed.
// Envelope 9002 when the update or the notification fails.
Outcome<PaymentOutcome> settle_payment(PGconn *conn, const PayableIntent &intent, const PaymentFound &payment,
                                       const std::string &biller_id);

// The flat document of one check: outcome, intent_id, invoice_id, company_id,
// transaction_id, paid_amount, intent_amount (null where unknown), and with
// outcome "error" the failure's envelope under "error".
std::string payment_check_document(const PaymentCheck &check);

// The notification of a settled payment on the channel scb_payment: the
// check's document with the biller id, the payment's references and its time
// (`paid_at`, the bank's own text). Texts are cut to 128 bytes: an unmatched
// record was never verified by the bank, and a notification holds 8000 at most.
std::string payment_notification(PaymentOutcome outcome, const PayableIntent *intent, const PaymentFound &payment,
                                 const std::string &biller_id);

// An inquiry answer that holds no payment list, as the document to answer
// with: the bank's own failure answer as it came, or envelope 9103 for an
// answer that is not JSON or not a bank answer at all (the inquiry hands a
// 200 answer on as it came).
ScbText inquiry_failure(ScbText answer, InquiryPayments::Reading reading);

// The error line of a payment the ERP cannot take as it is.
void log_payment_problem(PaymentOutcome outcome, const std::string &transaction_id, const std::string &biller_id,
                         const std::string &reference1, const std::string &reference2, int64_t satang);

// The bank's payment confirmation record, checked with the bank and settled:
// the check's document, or envelope 9004 for a text that is not such a
// record (nothing sent or touched), or the envelope of a database, token or
// bank failure (nothing changed).
ScbText confirm_payment(std::string_view record_text);

}  // namespace scb
