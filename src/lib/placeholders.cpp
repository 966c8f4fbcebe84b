#include "placeholders.hpp"

#include "scb.h"
#include "text.hpp"

namespace scb {

std::string placeholder_qr(const char *config_id, const char *reference, const char *channel, double amount) {
    scb_log_info("QR code creation initiated (stub - needs database integration)");
    return bounded_format(512,
                          "{\"error\": \"Not implemented\", \"message\": \"Use scb_create_qr_by_bank_account() or "
                          "scb_create_qr_full()\", \"reference\": \"%s\", \"amount\": %.2f, \"channel\": \"%s\", "
                          "\"config_id\": \"%s\"}",
                          or_empty(reference), amount, or_empty(channel), or_empty(config_id));
}

std::string placeholder_payment_check(const char *reference) {
    scb_log_info("Payment status check initiated");
    return bounded_format(256, "{\"status\": \"pending\", \"reference\": \"%s\"}", or_empty(reference));
}

}  // namespace scb
