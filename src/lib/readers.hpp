// Readings of the texts the library does not write itself: the bank's token,
// QR and failure answers. They touch neither the database nor the network,
// so they can be exercised alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// The bank's rejection of a token: "code" then 9500, whatever white space
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

}  // namespace scb
