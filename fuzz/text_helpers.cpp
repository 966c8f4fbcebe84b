// The bounded text helpers that every log line and envelope description goes
// through, fed any bytes: whole-character prefixes, bounded formatting, the
// masking of secrets in logged JSON, and the excerpt of a failure body.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "scb.h"
#include "bank.hpp"
#include "text.hpp"

namespace {

// A cut of `full` to at most `room` bytes: a prefix, never splitting a
// well-formed character, and shorter than need be only by such a character.
void check_cut(const std::string &full, const std::string &cut, std::size_t room) {
    fuzz::check(cut.size() <= room);
    fuzz::check(full.compare(0, cut.size(), cut) == 0);
    if (full.size() <= room) {
        fuzz::check(cut == full);
        return;
    }
    fuzz::check(!fuzz::cuts_a_character(full, cut.size()));
    fuzz::check(cut.size() + 3 >= room);
}

void check_prefix(FuzzedDataProvider &input) {
    const std::size_t max_bytes = input.ConsumeIntegralInRange<std::size_t>(0, 600);
    const std::string text = input.ConsumeRemainingBytesAsString();
    check_cut(text, scb::utf8_prefix(text, max_bytes), max_bytes);
}

std::string printed(const char *format, const char *a, long number, const char *b) {
    const int needed = std::snprintf(nullptr, 0, format, a, number, b);
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::snprintf(buffer.data(), buffer.size(), format, a, number, b);
    return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

void check_bounded_format(FuzzedDataProvider &input) {
    const std::size_t limit = input.ConsumeIntegralInRange<std::size_t>(0, 3000);
    const long number = input.ConsumeIntegral<long>();
    const std::string first = input.ConsumeRandomLengthString(2000).c_str();
    const std::string second = input.ConsumeRemainingBytesAsString().c_str();
    const std::string bounded =
        scb::bounded_format(limit, "%s failed with status %ld. Response: %s", first.c_str(), number, second.c_str());
    const std::string full = printed("%s failed with status %ld. Response: %s", first.c_str(), number, second.c_str());
    check_cut(full, bounded, limit > 0 ? limit - 1 : 0);
}

// Both trees alike except that a string member named after a masked key
// reads *** in the masked one.
bool masked_alike(const cJSON *original, const cJSON *masked, std::initializer_list<std::string_view> keys) {
    if (original == nullptr || masked == nullptr) {
        return original == masked;
    }
    if ((original->type & 0xFF) != (masked->type & 0xFF)) {
        return false;
    }
    if (!fuzz::same_text(original->string, masked->string) && (original->string != nullptr || masked->string != nullptr)) {
        return false;
    }
    bool named = false;
    for (std::string_view key : keys) {
        named = named || (original->string != nullptr && key == original->string);
    }
    if (cJSON_IsString(original)) {
        return fuzz::same_text(masked->valuestring, named ? "***" : original->valuestring);
    }
    if (cJSON_IsNumber(original) && original->valuedouble == original->valuedouble &&
        original->valuedouble != masked->valuedouble) {
        return false;
    }
    const cJSON *a = original->child;
    const cJSON *b = masked->child;
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
        if (!masked_alike(a, b, keys)) {
            return false;
        }
    }
    return a == nullptr && b == nullptr;
}

void check_masking(FuzzedDataProvider &input) {
    const std::string json = input.ConsumeRemainingBytesAsString().c_str();
    const auto keys = {std::string_view("accessToken"), std::string_view("access_token")};
    const std::string masked = scb::mask_json_values(json, keys);
    if (json.find("\"accessToken\"") == std::string::npos && json.find("\"access_token\"") == std::string::npos &&
        json.find('\\') == std::string::npos) {
        fuzz::check(masked == json);
    }
    const scb::CJsonTree original(cJSON_Parse(json.c_str()));
    if (!original) {
        return;
    }
    const scb::CJsonTree reread(cJSON_Parse(masked.c_str()));
    fuzz::check(reread != nullptr);
    fuzz::check(masked_alike(original.get(), reread.get(), keys));
}

// The description of a failure the bank did not describe, and the envelope
// that carries it to a caller who decodes it strictly.
void check_failure_description(FuzzedDataProvider &input) {
    const long status = input.ConsumeIntegral<long>();
    const std::string body = input.ConsumeRemainingBytesAsString().c_str();
    const std::string description = scb::bank_failure_description("QR creation", status, body.c_str());
    fuzz::check(description.size() <= 511);
    const std::string head = printed("%s failed with status %ld. Response: %s", "QR creation", status, "");
    fuzz::check(description.compare(0, head.size(), head) == 0);
    const std::string excerpt = description.substr(head.size());
    check_cut(body, excerpt, 300);
    const scb::ScbText envelope(scb_create_error_response(9103, description.c_str()));
    fuzz::check(envelope != nullptr && fuzz::valid_utf8(envelope.get()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            check_prefix(input);
            break;
        case 1:
            check_bounded_format(input);
            break;
        case 2:
            check_masking(input);
            break;
        default:
            check_failure_description(input);
            break;
    }
    return 0;
}
