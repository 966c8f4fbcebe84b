// The error envelope, built around any code and any description bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.hpp"
#include "scb.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

// The description as a strict reader sees it: its well-formed characters
// other than the replacement character, how many replacement characters it
// holds, how many runs of ill-formed bytes and how many such bytes.
struct Reading {
    std::string kept;
    std::size_t replacements = 0;
    std::size_t bad_runs = 0;
    std::size_t bad_bytes = 0;
};

Reading read_strictly(const std::string &text) {
    Reading reading;
    bool in_bad_run = false;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = fuzz::character_length(text, pos);
        if (length == 0) {
            reading.bad_runs += in_bad_run ? 0 : 1;
            ++reading.bad_bytes;
            in_bad_run = true;
            ++pos;
            continue;
        }
        in_bad_run = false;
        if (text.compare(pos, length, kReplacement) == 0) {
            ++reading.replacements;
        } else {
            reading.kept.append(text, pos, length);
        }
        pos += length;
    }
    return reading;
}

// Every well-formed character of the description survives in order, and each
// run of ill-formed bytes stands as one to as many replacement characters as
// it has bytes.
bool faithful(const std::string &description, const std::string &read_back) {
    const Reading given = read_strictly(description);
    const Reading got = read_strictly(read_back);
    return got.bad_bytes == 0 && got.kept == given.kept &&
           got.replacements >= given.replacements + given.bad_runs &&
           got.replacements <= given.replacements + given.bad_bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int32_t code = input.ConsumeIntegral<int32_t>();
    const bool described = input.ConsumeBool();
    const std::string description = input.ConsumeRemainingBytesAsString().c_str();

    const scb::ScbText envelope(scb_create_error_response(code, described ? description.c_str() : nullptr));
    fuzz::check(envelope != nullptr);
    const std::string text = envelope.get();
    // The envelope is handed to callers that decode it strictly.
    fuzz::check(fuzz::valid_utf8(text));
    fuzz::check(text.rfind("{\"status\":{\"code\":", 0) == 0);

    const scb::CJsonTree tree(cJSON_Parse(text.c_str()));
    fuzz::check(tree != nullptr);
    const cJSON *status = fuzz::first_member(tree.get(), "status", false);
    const cJSON *read_code = fuzz::first_member(status, "code", false);
    const cJSON *read_description = fuzz::first_member(status, "description", false);
    fuzz::check(cJSON_IsNumber(read_code) && read_code->valuedouble == static_cast<double>(code));
    fuzz::check(cJSON_IsNull(fuzz::first_member(tree.get(), "data", false)));
    fuzz::check(cJSON_IsString(read_description));
    const std::string read_back = read_description->valuestring;
    if (!described) {
        fuzz::check(read_back == "Unknown error");
    } else if (fuzz::valid_utf8(description)) {
        fuzz::check(read_back == description);
    } else {
        fuzz::check(faithful(description, read_back));
    }
    return 0;
}
