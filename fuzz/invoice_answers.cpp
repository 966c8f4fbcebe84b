// The invoice flow's reading of the bank's token answer and QR answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.hpp"
#include "readers.hpp"

namespace {

void check_token_answer(const cJSON *answer) {
    const char *token = scb::token_in(answer);
    const cJSON *top = fuzz::first_member(answer, "access_token", true);
    const cJSON *nested = fuzz::first_member(fuzz::first_member(answer, "data", true), "accessToken", true);
    const cJSON *source = top != nullptr ? top : nested;
    if (token == nullptr) {
        fuzz::check(!cJSON_IsString(source) || fuzz::has_control_byte(source->valuestring));
        return;
    }
    fuzz::check(cJSON_IsString(source) && token == source->valuestring);
    // The token goes out in the Authorization header line of the QR request.
    fuzz::check(!fuzz::has_control_byte(token));
}

// A bank value as the intent gets it: the text, `missing` when absent, none
// when present but not a text.
void check_bank_value(const cJSON *data, const char *name, const char *missing, const char *value) {
    const cJSON *member = fuzz::first_member(data, name, true);
    if (member == nullptr) {
        fuzz::check(missing == nullptr ? value == nullptr : fuzz::same_text(value, missing));
    } else if (cJSON_IsString(member)) {
        fuzz::check(value == member->valuestring);
    } else {
        fuzz::check(value == nullptr);
    }
}

void check_qr_answer(const cJSON *parsed, const std::string &text) {
    const scb::QrAnswer answer = scb::read_qr_answer(text.c_str());
    if (parsed == nullptr) {
        fuzz::check(answer.outcome == scb::QrAnswer::kNotJson && !answer.tree);
        return;
    }
    fuzz::check(answer.tree != nullptr);
    const cJSON *tree = answer.tree.get();
    const cJSON *code = fuzz::first_member(fuzz::first_member(tree, "status", true), "code", true);
    const bool success_code = cJSON_IsNumber(code) && code->valueint == 1000;
    if (code != nullptr && !success_code) {
        fuzz::check(answer.outcome == scb::QrAnswer::kRefused);
        // A refusal is handed back printed again; the caller must be able to read it.
        const scb::CJsonText printed(cJSON_PrintUnformatted(tree));
        fuzz::check(printed != nullptr);
        const scb::CJsonTree reread(cJSON_Parse(printed.get()));
        fuzz::check(reread != nullptr);
        if (fuzz::valid_utf8(text)) {
            fuzz::check(fuzz::valid_utf8(printed.get()));
        }
        return;
    }
    const cJSON *data = fuzz::first_member(tree, "data", true);
    if (!cJSON_IsObject(data)) {
        fuzz::check(answer.outcome == scb::QrAnswer::kNoData);
        return;
    }
    fuzz::check(answer.outcome == scb::QrAnswer::kQr);
    check_bank_value(data, "qrRawData", "", answer.qr_payload);
    check_bank_value(data, "qrImage", "", answer.qr_image);
    check_bank_value(data, "transactionId", nullptr, answer.transaction_id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::c_text(data, size);
    const scb::CJsonTree parsed(cJSON_Parse(text.c_str()));
    check_token_answer(parsed.get());
    check_qr_answer(parsed.get(), text);
    return 0;
}
