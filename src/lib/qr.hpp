// Bill-payment QR creation at the bank: with credentials and a token the
// caller supplies, and for one of the ERP's bank accounts with the cached token.
#pragma once

#include <string>

#include "owned.hpp"

namespace scb {

struct QrRequest {
    std::string biller_id;
    std::string ref1;
    std::string ref2;
    std::string ref3;
    double amount = 0.0;
};

// The bank's answer (or envelope 9102/9103); null only when no request
// identifier or no memory could be had.
ScbText create_qr_full(const std::string &api_key, const std::string &access_token, const std::string &qr_create_url,
                       const QrRequest &request);

// A QR for a bank account: configuration from the database, the cached token
// (renewed when stale), one renewal and retry when the bank rejects it. The
// request's biller id is the configuration's.
ScbText create_qr_by_bank_account(const char *bank_account_id, const QrRequest &request);

}  // namespace scb
