// Payment intents: one row of scb_payment_intent per invoice and company,
// holding the QR the bank made for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <libpq-fe.h>

namespace scb {

// An intent as stored; a NULL column reads as empty.
struct Intent {
    int32_t id = 0;
    std::string reference;
    std::string qr_payload;
    std::string qr_image_base64;
    std::string transaction_id;
    double amount = 0.0;
    std::string status;
    std::string channel;
};

// The newest intent of the invoice whose status is not expired, cancelled or
// failed; nothing when there is none or the lookup failed (logged).
std::optional<Intent> live_intent(PGconn *conn, int32_t invoice_id, int32_t company_id);

// The intent as the C interface hands it out: compact JSON, transaction_id
// only when stored.
std::string intent_document(const Intent &intent);

// What an intent write stores; the texts go to the database as given (null
// is NULL), except a null transaction id, stored as the empty text.
struct IntentWrite {
    int32_t invoice_id = 0;
    int32_t company_id = 0;
    int32_t config_id = 0;
    const char *reference = nullptr;
    const char *channel = nullptr;
    const char *qr_payload = nullptr;
    const char *qr_image_base64 = nullptr;
    double amount = 0.0;
    const char *transaction_id = nullptr;
};

// Overwrites the invoice's row, dead or alive, or inserts a pending one; the
// row id, or nothing after logging why (an amount the table cannot hold
// exactly, a failed statement).
std::optional<int32_t> write_intent(PGconn *conn, const IntentWrite &write);

// Marks the intent confirmed; false after logging a failed statement.
bool confirm_intent(PGconn *conn, int32_t intent_id);

}  // namespace scb
