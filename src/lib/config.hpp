// The bank configuration of one of the ERP's bank accounts, as stored in
// res_partner_bank and scb_api_config, with the bank URLs of its environment.
#pragma once

#include <optional>
#include <string>

#include <libpq-fe.h>

#include "bank.hpp"

namespace scb {

// Every value as stored; a NULL column reads as empty.
struct BankAccountConfig {
    std::string biller_id;
    std::string company_id;
    std::string api_key;
    std::string api_secret;
    std::string environment;
    std::string application_id;
    std::string bank_id;
    std::string config_id;
    std::string config_name;
    BankUrls urls;
};

// The configuration of an active, QR-enabled bank account; nothing after
// logging why (a failed query, no such account).
std::optional<BankAccountConfig> config_for_bank_account(PGconn *conn, const char *bank_account_id);

// The flat JSON document of eleven string members the C interface hands out.
std::string configuration_document(const BankAccountConfig &config);

}  // namespace scb
