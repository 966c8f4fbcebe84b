// The bank's bill-payment inquiry: has a payment arrived, by transaction
// reference or by biller id and references, with the cached token.
#pragma once

#include <string>

#include "owned.hpp"

namespace scb {

// What the inquiry asks; an empty text counts as not given. Without a date,
// today's date in Thailand is sent.
struct InquiryQuery {
    std::string transaction_ref;
    std::string biller_id;
    std::string reference1;
    std::string reference2;
    std::string amount;
    std::string transaction_date;
};

// The bank's answer or an envelope for the configuration id (sent to the
// database as given); null only when no request identifier or no memory
// could be had.
ScbText payment_inquiry(const char *config_id, const InquiryQuery &query);

}  // namespace scb
