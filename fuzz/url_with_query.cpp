// The query building of GET requests: a URL, keys and values split out of the
// fuzz input, under a query limit of the input's choice.
#include <curl/curl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_checks.hpp"
#include "http.hpp"

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

    std::vector<Pair> sent;
    for (int i = 0; i < count; ++i) {
        sent.push_back({input.ConsumeRandomLengthString(64).c_str(), input.ConsumeRandomLengthString(512).c_str()});
    }
    // No pairs at all stands for no query; a C caller whose pairs are all
    // absent gives an empty one, which the input may choose too.
    std::optional<scb::QueryPairs> query;
    if (count > 0 || input.ConsumeBool()) {
        query.emplace();
        for (const Pair &pair : sent) {
            query->emplace_back(pair.key, pair.value);
        }
    }

    const std::optional<std::string> built = scb::url_with_query(encoder.get(), url, query, limit);
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
    if (!query) {
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
