// The configuration document of a bank account, as QR creation for a bank
// account and as the invoice flow read it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_checks.hpp"
#include "scb_readers.hpp"

namespace {

// QR creation for a bank account: exact member names, texts within their limit.
void check_bank_account_reading(const cJSON *document, const std::string &text) {
    const scb::BankAccountConfig config = scb::read_bank_account_config(text.c_str());
    const struct {
        const std::string &value;
        const char *name;
        std::size_t limit;
    } fields[] = {
        {config.api_key, "api_key", 255},     {config.api_secret, "api_secret", 255},
        {config.biller_id, "biller_id", 255}, {config.token_url, "token_url", 511},
        {config.qr_create_url, "qr_create_url", 511}, {config.config_id, "config_id", 31},
    };
    for (const auto &field : fields) {
        fuzz::check(field.value.size() <= field.limit);
        const cJSON *member = fuzz::first_member(document, field.name, false);
        const char *expected = cJSON_IsString(member) ? member->valuestring : nullptr;
        if (expected != nullptr && std::strlen(expected) <= field.limit) {
            fuzz::check(field.value == expected);
        } else {
            fuzz::check(field.value.empty());
        }
    }
}

// The invoice flow: letter case ignored, all five members required, and a
// value that is not a text handed on as none.
void check_invoice_reading(const cJSON *document, const std::string &text) {
    const scb::InvoiceConfig config = scb::read_invoice_config(text.c_str());
    if (document == nullptr) {
        fuzz::check(config.outcome == scb::InvoiceConfig::kNotJson);
        return;
    }
    const struct {
        const char *value;
        const char *name;
    } fields[] = {
        {config.api_key, "api_key"},     {config.biller_id, "biller_id"},   {config.token_url, "token_url"},
        {config.qr_create_url, "qr_create_url"}, {config.api_secret, "api_secret"},
    };
    bool complete = true;
    for (const auto &field : fields) {
        complete = complete && fuzz::first_member(document, field.name, true) != nullptr;
    }
    fuzz::check(config.outcome == (complete ? scb::InvoiceConfig::kRead : scb::InvoiceConfig::kIncomplete));
    if (!complete) {
        return;
    }
    for (const auto &field : fields) {
        const cJSON *member = fuzz::first_member(document, field.name, true);
        if (cJSON_IsString(member)) {
            fuzz::check(fuzz::same_text(field.value, member->valuestring));
        } else {
            fuzz::check(field.value == nullptr);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::c_text(data, size);
    const scb::CJsonTree document(cJSON_Parse(text.c_str()));
    check_bank_account_reading(document.get(), text);
    check_invoice_reading(document.get(), text);
    return 0;
}
