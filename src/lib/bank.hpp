// The bank's partner API as every operation meets it: where it lives (hosts
// read from the environment at every use, so a test or a staging set-up can
// point them elsewhere), the request identifier of each request, and the
// response document made of one finished exchange.
#pragma once

#include <optional>
#include <string>

#include "http.hpp"
#include "owned.hpp"

namespace scb {

struct BankUrls {
    std::string token;
    std::string qr_create;
    std::string inquiry;
};

// Production URLs when environment is exactly "production", else sandbox.
BankUrls bank_urls(const char *environment);

bool is_production(const char *environment) noexcept;

// A new request identifier; nothing after logging why.
std::optional<std::string> new_request_id();

// The response document for one finished bank exchange: the body after 200;
// after another status the bank's own failure document when the body holds
// "status", else envelope 9103 "<label> failed with status ...". The failure
// is logged either way; null only when memory ran out.
ScbText bank_answer(const HttpReply &reply, const char *label, const char *success_line);

// The description of a failure answer the bank did not describe itself: the
// label, the status and a whole-character excerpt of at most 300 bytes of
// the body, cut to 511 bytes.
std::string bank_failure_description(const char *label, long status, const char *body);

}  // namespace scb
