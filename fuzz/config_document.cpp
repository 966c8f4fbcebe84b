// The configuration document the C interface hands out for a bank account:
// whatever the stored values hold, it is one JSON object of eleven string
// members in a fixed order, each reading back as the value it was made from.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "config.hpp"
#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    // Database texts hold no NUL.
    const auto value = [&input] { return std::string(input.ConsumeRandomLengthString(300).c_str()); };
    scb::BankAccountConfig config;
    for (std::string *field : {&config.biller_id, &config.company_id, &config.api_key, &config.api_secret,
                               &config.environment, &config.application_id, &config.bank_id, &config.config_id,
                               &config.config_name, &config.urls.token, &config.urls.qr_create,
                               &config.urls.inquiry}) {
        *field = value();
    }
    const std::string document = scb::configuration_document(config);
    const scb::CJsonTree tree(cJSON_Parse(document.c_str()));
    fuzz::check(cJSON_IsObject(tree.get()));
    const struct {
        const char *name;
        const std::string &value;
    } members[] = {
        {"biller_id", config.biller_id},     {"company_id", config.company_id},
        {"api_key", config.api_key},         {"api_secret", config.api_secret},
        {"environment", config.environment}, {"application_id", config.application_id},
        {"token_url", config.urls.token},    {"qr_create_url", config.urls.qr_create},
        {"payment_inquiry_url", config.urls.inquiry}, {"config_id", config.config_id},
        {"config_name", config.config_name},
    };
    const cJSON *member = tree->child;
    for (const auto &expected : members) {
        fuzz::check(member != nullptr && std::strcmp(member->string, expected.name) == 0);
        fuzz::check(cJSON_IsString(member) && expected.value == member->valuestring);
        member = member->next;
    }
    fuzz::check(member == nullptr);
    return 0;
}
