// The query building of GET requests: a URL, keys and values split out of the
// fuzz input, some of them absent, under a query limit of the input's choice.
#include <curl/curl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"
#include "scb_http.hpp"

namespace {

bool unreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads one encoded value at `pos` (unreserved characters and %XX only),
// decoding it into `decoded`; returns where it ends.
std::size_t read_encoded(const std::string &built, std::size_t pos, std::string &decoded) {
    while (pos < built.size()) {
        if (unreserved(built[pos])) {
            decoded += built[pos++];
        } else if (built[pos] == '%' && pos + 2 < built.size() && hex_value(built[pos + 1]) >= 0 &&
                   hex_value(built[pos + 2]) >= 0) {
            decoded += static_cast<char>(hex_value(built[pos + 1]) * 16 + hex_value(built[pos + 2]));
            pos += 3;
        } else {
            break;
        }
    }
    return pos;
}

std::size_t encoded_size(const std::string &value) {
    std::size_t size = 0;
    for (const char c : value) {
        size += unreserved(c) ? 1 : 3;
    }
    return size;
}

struct Pair {
    std::string key;
    std::string value;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const scb::CurlHandle encoder(curl_easy_init());
    FuzzedDataProvider input(data, size);
    const std::string url = input.ConsumeRandomLengthString(256).c_str();
    const std::size_t limit = input.ConsumeIntegralInRange<std::size_t>(0, 4096);
    const int count = input.ConsumeIntegralInRange<int>(0, 8);

    std::vector<std::string> keys;
    std::vector<std::string> values;
    std::vector<const char *> key_pointers;
    std::vector<const char *> value_pointers;
    for (int i = 0; i < count; ++i) {
        keys.push_back(input.ConsumeRandomLengthString(64).c_str());
        values.push_back(input.ConsumeRandomLengthString(512).c_str());
    }
    std::vector<Pair> sent;
    for (int i = 0; i < count; ++i) {
        const bool key_given = input.ConsumeProbability<double>() > 0.1;
        const bool value_given = input.ConsumeProbability<double>() > 0.1;
        key_pointers.push_back(key_given ? keys[i].c_str() : nullptr);
        value_pointers.push_back(value_given ? values[i].c_str() : nullptr);
        if (key_given && value_given) {
            sent.push_back({keys[i], values[i]});
        }
    }

    const std::optional<std::string> built = scb::url_with_query(
        encoder.get(), url.c_str(), key_pointers.data(), value_pointers.data(), count, limit);
    // The "?" and the "&" between pairs.
    std::size_t query_size = sent.empty() ? 1 : sent.size();
    for (const Pair &pair : sent) {
        query_size += pair.key.size() + 1 + encoded_size(pair.value);
    }
    if (!built) {
        fuzz::check(query_size > limit);
        return 0;
    }
    fuzz::check(built->compare(0, url.size(), url) == 0);
    if (count == 0) {
        fuzz::check(*built == url);
        return 0;
    }
    fuzz::check(built->size() - url.size() <= limit);
    fuzz::check(built->size() - url.size() == query_size);
    std::size_t pos = url.size();
    fuzz::check((*built)[pos++] == '?');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (i > 0) {
            fuzz::check((*built)[pos++] == '&');
        }
        fuzz::check(built->compare(pos, sent[i].key.size(), sent[i].key) == 0);
        pos += sent[i].key.size();
        fuzz::check((*built)[pos++] == '=');
        std::string decoded;
        pos = read_encoded(*built, pos, decoded);
        fuzz::check(decoded == sent[i].value);
    }
    fuzz::check(pos == built->size());
    return 0;
}
