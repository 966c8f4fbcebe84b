// Readings of the texts the library does not write itself: the configuration
// document, the bank's token and QR answers, the bank's failure bodies. They
// touch neither the database nor the network, so they can be exercised alone.
#pragma once

#include <cstddef>
#include <string>

#include "owners.hpp"

namespace scb {

// The six values QR creation for a bank account takes from the configuration
// document; a value missing, not a text or longer than its limit stays empty.
struct BankAccountConfig {
    std::string api_key;
    std::string api_secret;
    std::string biller_id;
    std::string token_url;
    std::string qr_create_url;
    std::string config_id;
};

BankAccountConfig read_bank_account_config(const char *document_text);

// The description of a failure answer the bank did not describe itself: the
// label, the status and a whole-character excerpt of at most 300 bytes of
// the body, cut to 511 bytes.
std::string bank_failure_description(const char *label, long status, const char *body);

// The invoice flow's view of the configuration document. The five values
// point into `tree`; one is null when its member is present but not a text.
struct InvoiceConfig {
    enum Outcome { kRead, kNotJson, kIncomplete };
    Outcome outcome = kNotJson;
    CJsonTree tree;
    const char *api_key = nullptr;
    const char *api_secret = nullptr;
    const char *biller_id = nullptr;
    const char *token_url = nullptr;
    const char *qr_create_url = nullptr;
};

InvoiceConfig read_invoice_config(const char *document_text);

// The token of a parsed token answer: `access_token` at the top level, else
// `accessToken` inside `data`; only a text without control characters counts.
// Members are matched without regard to letter case, as the bank's answers
// have always been read.
const char *token_in(const cJSON *answer) noexcept;

// A QR answer whose status code is present and not the number 1000.
bool refused(const cJSON *answer) noexcept;

// A bank value for the intent: absent (null) when present but not a text;
// a missing member reads as `missing`.
const char *bank_value(const cJSON *data, const char *name, const char *missing) noexcept;

// The invoice flow's view of the bank's QR answer. The three values point
// into `tree` and are set only for kQr.
struct QrAnswer {
    enum Outcome { kNotJson, kRefused, kNoData, kQr };
    Outcome outcome = kNotJson;
    CJsonTree tree;
    const char *qr_payload = nullptr;
    const char *qr_image = nullptr;
    const char *transaction_id = nullptr;
};

QrAnswer read_qr_answer(const char *qr_text);

}  // namespace scb
