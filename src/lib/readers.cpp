#include "readers.hpp"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// Digits of text[pos, pos + count) as a number; nothing when one is not a digit.
std::optional<int> digits_at(std::string_view text, std::size_t pos, std::size_t count) noexcept {
    if (pos + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Seconds east of UTC of an ISO 8601 offset ("Z", "+07:00", "-0530"); nothing otherwise.
std::optional<long> offset_seconds(std::string_view offset) noexcept {
    if (offset == "Z") {
        return 0L;
    }
    if (offset.size() != 6 && offset.size() != 5) {
        return std::nullopt;
    }
    const std::size_t minutes_at = offset.size() == 6 ? 4 : 3;
    const std::optional<int> hours = digits_at(offset, 1, 2);
    const std::optional<int> minutes = digits_at(offset, minutes_at, 2);
    if ((offset[0] != '+' && offset[0] != '-') || (offset.size() == 6 && offset[3] != ':') || !hours || !minutes ||
        *hours > 23 || *minutes > 59) {
        return std::nullopt;
    }
    const long seconds = *hours * 3600L + *minutes * 60L;
    return offset[0] == '-' ? -seconds : seconds;
}

// The date in Thailand (UTC+07:00) of an ISO 8601 time with an offset, such
// as "2026-12-08T23:30:00.000+07:00"; nothing for any other text.
std::optional<std::string> thai_date_of(std::string_view time) {
    const std::optional<int> year = digits_at(time, 0, 4);
    const std::optional<int> month = digits_at(time, 5, 2);
    const std::optional<int> day = digits_at(time, 8, 2);
    const std::optional<int> hour = digits_at(time, 11, 2);
    const std::optional<int> minute = digits_at(time, 14, 2);
    const std::optional<int> second = digits_at(time, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || time[4] != '-' || time[7] != '-' ||
        time[10] != 'T' || time[13] != ':' || time[16] != ':' || *month < 1 || *month > 12 || *day < 1 ||
        *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
        return std::nullopt;
    }
    std::size_t rest = 19;
    if (rest < time.size() && time[rest] == '.') {
        do {
            ++rest;
        } while (rest < time.size() && std::isdigit(static_cast<unsigned char>(time[rest])));
    }
    const std::optional<long> offset = offset_seconds(time.substr(rest));
    if (!offset) {
        return std::nullopt;
    }
    std::tm fields{};
    fields.tm_year = *year - 1900;
    fields.tm_mon = *month - 1;
    fields.tm_mday = *day;
    fields.tm_hour = *hour;
    fields.tm_min = *minute;
    fields.tm_sec = *second;
    const std::time_t in_thailand = timegm(&fields) - *offset + 7 * 3600;
    std::tm thailand{};
    char date[16] = "";
    if (gmtime_r(&in_thailand, &thailand) == nullptr ||
        std::strftime(date, sizeof date, "%Y-%m-%d", &thailand) == 0) {
        return std::nullopt;
    }
    return std::string(date);
}

// A JSON amount, a number or a decimal text, in satang.
std::optional<int64_t> satang_of_member(const cJSON *amount) noexcept {
    if (cJSON_IsString(amount)) {
        return satang_of(amount->valuestring);
    }
    if (!cJSON_IsNumber(amount) || !(amount->valuedouble >= 0) || amount->valuedouble > 1e15) {
        return std::nullopt;
    }
    const double hundredths = amount->valuedouble * 100.0;
    const double whole = std::round(hundredths);
    if (std::fabs(hundredths - whole) > 1e-6 * std::fmax(1.0, whole)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(whole);
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
        const bool rejection_code = std::strncmp(value, "9300", 4) == 0 || std::strncmp(value, "9500", 4) == 0;
        if (rejection_code && !std::isdigit(static_cast<unsigned char>(value[4]))) {
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

std::optional<int64_t> satang_of(std::string_view text) noexcept {
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto all_digits = [](std::string_view part) {
        for (const char c : part) {
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                return false;
            }
        }
        return true;
    };
    if (whole.empty() || whole.size() > 15 || !all_digits(whole) || (point != std::string_view::npos && fraction.empty()) ||
        !all_digits(fraction) || fraction.find_first_not_of('0', 2) != std::string_view::npos) {
        return std::nullopt;
    }
    int64_t satang = 0;
    for (const char c : whole) {
        satang = satang * 10 + (c - '0');
    }
    for (std::size_t i = 0; i < 2; ++i) {
        satang = satang * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    }
    return satang;
}

std::string baht_text(int64_t satang) {
    return format_text("%lld.%02lld", static_cast<long long>(satang / 100), static_cast<long long>(satang % 100));
}

std::optional<PaymentRecord> read_payment_record(std::string_view text, std::string &fault) {
    if (valid_utf8(text) != text) {
        fault = "not UTF-8";
        return std::nullopt;
    }
    const CJsonTree record(cJSON_ParseWithLength(text.data(), text.size()));
    if (!cJSON_IsObject(record.get())) {
        fault = record ? "not a JSON object" : "not JSON";
        return std::nullopt;
    }
    const auto text_of = [&record, &fault](const char *name) -> const char * {
        const char *value = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(record.get(), name));
        if (value == nullptr && fault.empty()) {
            fault = format_text("%s missing or not a text", name);
        }
        return value;
    };
    const char *fields[] = {text_of("payeeProxyId"), text_of("billPaymentRef1"), text_of("billPaymentRef2"),
                            text_of("transactionId"), text_of("transactionDateandTime")};
    if (fault.empty() && fields[3][0] == '\0') {
        fault = "transactionId empty";
    }
    if (!fault.empty()) {
        return std::nullopt;
    }
    const std::optional<int64_t> satang = satang_of_member(cJSON_GetObjectItemCaseSensitive(record.get(), "amount"));
    if (!satang) {
        fault = "amount missing or not a number of satang";
        return std::nullopt;
    }
    const std::optional<std::string> paid_on = thai_date_of(fields[4]);
    if (!paid_on) {
        fault = "transactionDateandTime is not an ISO 8601 time with an offset";
        return std::nullopt;
    }
    PaymentRecord payment;
    payment.payee_proxy_id = fields[0];
    payment.reference1 = fields[1];
    payment.reference2 = fields[2];
    payment.transaction_id = fields[3];
    payment.satang = *satang;
    payment.paid_on = *paid_on;
    payment.paid_at = fields[4];
    return payment;
}

InquiryPayments read_inquiry_payments(const char *answer_text) {
    constexpr int kPaid = 1000;
    constexpr int kNoSuchRecord = 1104;
    InquiryPayments read;
    const CJsonTree answer(answer_text != nullptr ? cJSON_Parse(answer_text) : nullptr);
    if (!answer) {
        return read;
    }
    read.reading = InquiryPayments::kNotBankAnswer;
    const cJSON *code =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(answer.get(), "status"), "code");
    if (!cJSON_IsNumber(code) || code->valuedouble != static_cast<double>(code->valueint)) {
        return read;
    }
    if (code->valueint == kNoSuchRecord) {
        read.reading = InquiryPayments::kPayments;
        return read;
    }
    if (code->valueint != kPaid) {
        read.reading = InquiryPayments::kBankFailure;
        return read;
    }
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(answer.get(), "data");
    if (!cJSON_IsArray(data)) {
        return read;
    }
    read.reading = InquiryPayments::kPayments;
    const cJSON *record = nullptr;
    cJSON_ArrayForEach(record, data) {
        const auto text_of = [record](const char *name) {
            return or_empty(cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(record, name)));
        };
        const char *transaction_id = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(record, "transactionId"));
        const std::optional<int64_t> satang = satang_of_member(cJSON_GetObjectItemCaseSensitive(record, "amount"));
        if (transaction_id != nullptr && satang) {
            read.payments.push_back({transaction_id, *satang, text_of("billPaymentRef1"), text_of("billPaymentRef2"),
                                     text_of("transactionDateandTime")});
        }
    }
    return read;
}

}  // namespace scb
