// The bank's bill-payment inquiry: has a payment arrived, by transaction
// reference or by biller id and references, with the cached token.
#pragma once

#include <string>

#include <libpq-fe.h>

#include "outcome.hpp"
#include "owned.hpp"
#include "pacer.hpp"

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

// Where one configuration's inquiries go and the token they carry, kept for
// a run of inquiries.
struct InquiryChannel {
    std::string config_id;
    std::string api_key;  // cut copy, as sent in resourceOwnerId
    std::string token_url;
    std::string inquiry_url;
    bool get_form = false;
    std::string token;
    Pacer pacer;  // spaces every inquiry sent, a retry after a rejected token included
};

// The configuration's channel, read on `conn`: its cached token, or one
// renewed single-flight; else envelope 9002 (database lost), 9003 (no active
// configuration) or the token's failure.
Outcome<InquiryChannel> open_inquiry(PGconn *conn, const char *config_id);

// One inquiry with the channel's token; after a rejected token, a token
// renewed on `conn` (a new session when null) and the inquiry once more, the
// channel keeping the new token. The bank's answer or an envelope; null only
// when no request identifier or no memory could be had.
ScbText inquire(InquiryChannel &channel, const InquiryQuery &query, PGconn *conn);

// The bank's answer or an envelope for the configuration id (sent to the
// database as given), on a session ended before the inquiry goes out.
ScbText payment_inquiry(const char *config_id, const InquiryQuery &query);

}  // namespace scb
