#include "config.hpp"

#include "db.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace scb {

namespace {

constexpr std::size_t kMessageLimit = 512;

enum ConfigColumn { kBillerId, kCompanyId, kApiKey, kApiSecret, kEnvironment, kApplicationId, kBankId, kConfigId, kConfigName };

BankAccountConfig config_of_row(const PGresult *row) {
    auto text = [row](int column) { return std::string(first_row_text(row, column)); };
    return BankAccountConfig{
        text(kBillerId), text(kCompanyId), text(kApiKey),   text(kApiSecret),  text(kEnvironment),
        text(kApplicationId), text(kBankId), text(kConfigId), text(kConfigName),
        bank_urls(first_row_text(row, kEnvironment)),
    };
}

}  // namespace

std::optional<BankAccountConfig> config_for_bank_account(PGconn *conn, const char *bank_account_id) {
    const PgResult result = run_statement(conn, sql::kConfigByBank, {bank_account_id});
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        scb_log_error(bounded_format(kMessageLimit, "Query failed: %s", PQerrorMessage(conn)).c_str());
        return std::nullopt;
    }
    if (PQntuples(result.get()) == 0) {
        scb_log_error("No SCB config found for bank account");
        return std::nullopt;
    }
    BankAccountConfig config = config_of_row(result.get());
    scb_log_info(bounded_format(kMessageLimit,
                                "Using SCB Config: Bank ID=%s, Config ID=%s, Biller ID=%s, Company=%s, Env=%s",
                                config.bank_id.c_str(), config.config_id.c_str(), config.biller_id.c_str(),
                                config.company_id.c_str(), config.environment.c_str())
                     .c_str());
    scb_log_info("Config retrieved from database");
    return config;
}

std::string configuration_document(const BankAccountConfig &config) {
    return json_object_of_strings({
        {"biller_id", config.biller_id.c_str()},
        {"company_id", config.company_id.c_str()},
        {"api_key", config.api_key.c_str()},
        {"api_secret", config.api_secret.c_str()},
        {"environment", config.environment.c_str()},
        {"application_id", config.application_id.c_str()},
        {"token_url", config.urls.token.c_str()},
        {"qr_create_url", config.urls.qr_create.c_str()},
        {"payment_inquiry_url", config.urls.inquiry.c_str()},
        {"config_id", config.config_id.c_str()},
        {"config_name", config.config_name.c_str()},
    });
}

}  // namespace scb
