// The bank's rejection of a token, detected in any answer text: "code", a
// colon and 9300 or 9500 not followed by another digit, with JSON blanks between.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.hpp"
#include "readers.hpp"

namespace {

std::size_t after_blanks(const std::string &text, std::size_t pos) {
    const std::size_t found = text.find_first_not_of(" \t\n\r", pos);
    return found == std::string::npos ? text.size() : found;
}

bool says_rejected(const std::string &text) {
    const std::string key = "\"code\"";
    for (std::size_t found = text.find(key); found != std::string::npos; found = text.find(key, found + 1)) {
        std::size_t pos = after_blanks(text, found + key.size());
        if (pos >= text.size() || text[pos] != ':') {
            continue;
        }
        pos = after_blanks(text, pos + 1);
        const bool digit_after = pos + 4 < text.size() && text[pos + 4] >= '0' && text[pos + 4] <= '9';
        const bool rejection_code = text.compare(pos, 4, "9300") == 0 || text.compare(pos, 4, "9500") == 0;
        if (rejection_code && !digit_after) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::c_text(data, size);
    fuzz::check(scb::token_rejected(text.c_str()) == says_rejected(text));
    return 0;
}
