// Token answers of the bank as the token cache reads them: the access token
// and its lifetime, out of any text at all.
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.hpp"
#include "readers.hpp"

namespace {

// The lifetime when the key is followed by a colon, blanks and a plain decimal
// that fits 32 bits; nothing when the text says something less simple.
bool plain_lifetime(const std::string &text, int32_t &seconds) {
    const std::size_t key = text.find("\"expiresIn\"");
    if (key == std::string::npos) {
        return false;
    }
    std::size_t pos = text.find(':', key);
    if (pos == std::string::npos) {
        return false;
    }
    pos = text.find_first_not_of(" \t", pos + 1);
    if (pos == std::string::npos) {
        return false;
    }
    const char *first = text.data() + pos;
    const char *last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, seconds);
    return error == std::errc() && (end == last || *end < '0' || *end > '9');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::c_text(data, size);

    const std::optional<std::string> token = scb::extract_access_token(text.c_str());
    if (token) {
        fuzz::check(!token->empty() && token->size() <= scb::kMaxTokenLength);
        fuzz::check(token->find('"') == std::string::npos);
        fuzz::check(text.find('"' + *token + '"', text.find("\"accessToken\"")) != std::string::npos);
        // The token goes out in a header line of every later request.
        fuzz::check(!fuzz::has_control_byte(*token));
    }
    if (text.find("\"accessToken\"") == std::string::npos) {
        fuzz::check(!token);
    }

    const int32_t lifetime = scb::extract_lifetime(text.c_str());
    if (text.find("\"expiresIn\"") == std::string::npos) {
        fuzz::check(lifetime == 1800);
    }
    int32_t plain = 0;
    if (plain_lifetime(text, plain)) {
        fuzz::check(lifetime == plain);
    }
    return 0;
}
