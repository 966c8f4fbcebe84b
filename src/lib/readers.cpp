#include "readers.hpp"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "text.hpp"

namespace scb {

namespace {

constexpr int32_t kDefaultLifetimeSeconds = 1800;

const char *skip_chars(const char *text, const char *skipped) noexcept {
    while (*text != '\0' && std::strchr(skipped, *text) != nullptr) {
        ++text;
    }
    return text;
}

// The text right after the first colon that follows the first occurrence of key.
const char *after_key_colon(const char *document, const char *key) noexcept {
    const char *found = std::strstr(document, key);
    const char *colon = found != nullptr ? std::strchr(found, ':') : nullptr;
    return colon != nullptr ? colon + 1 : nullptr;
}

// Member lookups ignore letter case, as the bank's answers have always been read.
const cJSON *member(const cJSON *object, const char *name) noexcept { return cJSON_GetObjectItem(object, name); }

const char *string_member(const cJSON *object, const char *name) noexcept {
    return cJSON_GetStringValue(member(object, name));
}

}  // namespace

std::optional<std::string> extract_access_token(const char *document) {
    const char *value = after_key_colon(or_empty(document), "\"accessToken\"");
    if (value == nullptr) {
        return std::nullopt;
    }
    value = skip_chars(value, " \t\n\r");
    if (*value != '"') {
        return std::nullopt;
    }
    const char *end = std::strchr(value + 1, '"');
    if (end == nullptr) {
        return std::nullopt;
    }
    const std::string_view token(value + 1, static_cast<std::size_t>(end - value - 1));
    // The token goes out in a header line, where a line break would start a header of the bank's choosing.
    if (token.empty() || token.size() > kMaxTokenLength || has_control_character(token)) {
        return std::nullopt;
    }
    return std::string(token);
}

int32_t extract_lifetime(const char *document) noexcept {
    const char *value = after_key_colon(or_empty(document), "\"expiresIn\"");
    if (value == nullptr) {
        return kDefaultLifetimeSeconds;
    }
    const long long seconds = std::strtoll(skip_chars(value, " \t"), nullptr, 10);
    if (seconds > INT32_MAX) {
        return INT32_MAX;
    }
    if (seconds < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(seconds);
}

bool token_rejected(const char *document) noexcept {
    const char *search = or_empty(document);
    // The closing quote of one "code" may open the next, so the search
    // goes on from the byte after the opening quote.
    while ((search = std::strstr(search, "\"code\"")) != nullptr) {
        const char *value = skip_chars(search + 6, " \t\n\r");
        ++search;
        if (*value != ':') {
            continue;
        }
        value = skip_chars(value + 1, " \t\n\r");
        if (std::strncmp(value, "9500", 4) == 0 && !std::isdigit(static_cast<unsigned char>(value[4]))) {
            return true;
        }
    }
    return false;
}

const char *bank_value(const cJSON *data, const char *name, const char *missing) noexcept {
    const cJSON *value = member(data, name);
    return value == nullptr ? missing : cJSON_GetStringValue(value);
}

const char *token_in(const cJSON *answer) noexcept {
    const cJSON *top = member(answer, "access_token");
    const char *token =
        top != nullptr ? cJSON_GetStringValue(top) : string_member(member(answer, "data"), "accessToken");
    // JSON escapes can spell a line break, which in the header line would start a header of the bank's choosing.
    return token != nullptr && !has_control_character(token) ? token : nullptr;
}

bool refused(const cJSON *answer) noexcept {
    const cJSON *code = member(member(answer, "status"), "code");
    return code != nullptr && (cJSON_IsNumber(code) ? code->valueint : 0) != 1000;
}

QrAnswer read_qr_answer(const char *qr_text) {
    QrAnswer answer;
    answer.tree.reset(cJSON_Parse(qr_text));
    if (!answer.tree) {
        return answer;
    }
    if (refused(answer.tree.get())) {
        answer.outcome = QrAnswer::kRefused;
        return answer;
    }
    const cJSON *data = member(answer.tree.get(), "data");
    if (!cJSON_IsObject(data)) {
        answer.outcome = QrAnswer::kNoData;
        return answer;
    }
    answer.qr_payload = bank_value(data, "qrRawData", "");
    answer.qr_image = bank_value(data, "qrImage", "");
    answer.transaction_id = bank_value(data, "transactionId", nullptr);
    answer.outcome = QrAnswer::kQr;
    return answer;
}

}  // namespace scb
