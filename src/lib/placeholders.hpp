// The two operations kept for callers of the older interface: a QR creation
// that only says what to use instead, and a payment check that says pending.
#pragma once

#include <string>

namespace scb {

// The placeholder texts, handed to Python unparsed; the values are written in
// as given, unescaped, cut to 511 and 255 bytes.
std::string placeholder_qr(const char *config_id, const char *reference, const char *channel, double amount);
std::string placeholder_payment_check(const char *reference);

}  // namespace scb
