// The QR of an invoice: created at the bank once, kept as the invoice's
// payment intent, and handed back from the database on every later call.
#pragma once

#include <cstdint>

#include <libpq-fe.h>

#include "owned.hpp"

namespace scb {

struct InvoiceRequest {
    PGconn *conn = nullptr;
    int32_t invoice_id = 0;
    int32_t company_id = 0;
    int32_t config_id = 0;
    const char *reference = nullptr;        // stored as given; sent to the bank as ref1
    const char *bank_account_id = nullptr;  // whose configuration makes the QR
    double amount = 0.0;
    // The Reference-3 the bank routes the payment confirmation by: the prefix
    // registered for the merchant's confirmation URL, perhaps with a value.
    const char *ref3 = "SCB";
};

// The stored intent, or a new QR stored as one; else the bank's refusal or an
// envelope. Null only when no memory could be had. A stored intent whose
// amount or reference differs from the request's is handed back all the
// same, after an error line naming both.
ScbText qr_for_invoice(const InvoiceRequest &request);

// Marks the invoice's pending intents cancelled, so that the next call
// creates a new QR at the bank; a confirmed intent stays confirmed. Answers
// {"status": {"code": 1000, ...}, "data": {"cancelled": [ids], "confirmed":
// [ids]}}, or envelope 9001 / 9002 with nothing changed.
ScbText cancel_invoice_qr(int32_t invoice_id, int32_t company_id);

}  // namespace scb
