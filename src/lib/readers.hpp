// Readings of the texts the library does not write itself: the bank's token,
// QR and failure answers. They touch neither the database nor the network,
// so they can be exercised alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cjson/cJSON.h>

#include "owned.hpp"

namespace scb {

constexpr std::size_t kMaxTokenLength = 255;

// Two readers of the token answer, which differ by design: the cached-token
// operations scan the text for the first "accessToken", the invoice flow
// parses the answer and looks in two places; each keeps what callers have
// always seen from it.

// The quoted value after the first "accessToken" of a token answer; nothing
// when it is absent, not a quoted text, empty, longer than 255 characters or
// holding a control character.
std::optional<std::string> extract_access_token(const char *document);

// The token of a parsed token answer: `access_token` at the top level, else
// `accessToken` inside `data`; only a text without control characters counts.
// Members are matched without regard to letter case.
const char *token_in(const cJSON *answer) noexcept;

// The integer after the first "expiresIn", clamped to 32 bits; 1800 when the
// key is absent.
int32_t extract_lifetime(const char *document) noexcept;

// The bank's rejection of a token: "code" then 9300 (a temporary token
// invalid or expired) or 9500 (invalid credentials), whatever white space
// stands around the colon, and not followed by further digits.
bool token_rejected(const char *document) noexcept;

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

// An amount in satang, read exactly out of a decimal text such as "250",
// "250.5" or "250.50"; nothing for a text that is not a non-negative decimal
// number, or that holds a fraction of a satang.
std::optional<int64_t> satang_of(std::string_view text) noexcept;

// The amount as the bank writes it: baht with two decimals.
std::string baht_text(int64_t satang);

// The bank's payment confirmation record, as far as the module reads it.
struct PaymentRecord {
    std::string payee_proxy_id;    // the biller id
    std::string reference1;
    std::string reference2;
    std::string transaction_id;    // the bank's id of the payment
    int64_t satang = 0;
    std::string paid_on;           // the payment's date in Thailand, YYYY-MM-DD
    std::string paid_at;           // the bank's transactionDateandTime as sent
};

// The record read out of its text; nothing, with why in `fault`, when the
// text is not such a record: not UTF-8, not a JSON object, a required member
// missing or not a text, an amount that is not a number of satang, a time
// that is not ISO 8601 with an offset.
std::optional<PaymentRecord> read_payment_record(std::string_view text, std::string &fault);

// The payments of an inquiry answer, as the payment checks read it.
struct PaymentFound {
    std::string transaction_id;
    int64_t satang = 0;
    // As the bank recorded them, for the payment's notification; empty when not texts.
    std::string reference1;
    std::string reference2;
    std::string paid_at;
};
struct InquiryPayments {
    enum Reading {
        kPayments,     // code 1000 with a `data` list, or 1104 (no such record: nothing paid)
        kBankFailure,  // any other integer status code: the bank's failure answer, or an envelope
        kNotJson,      // no answer, or a text that is not JSON
        kNotBankAnswer // JSON without a `status` object holding an integer `code`, or 1000 without a list
    };
    Reading reading = kNotJson;
    // With kPayments: the records whose transactionId and amount are given, other entries passed over.
    std::vector<PaymentFound> payments;
};
InquiryPayments read_inquiry_payments(const char *answer_text);

}  // namespace scb
