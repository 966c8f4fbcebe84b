#include "text.hpp"

#include <new>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "owned.hpp"

namespace scb {

namespace {

bool is_continuation_byte(char byte) noexcept {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

// One step of a strict UTF-8 reading: a well-formed character, or the
// maximal part of one that breaks off (at least one byte).
struct Utf8Step {
    std::size_t length;
    bool well_formed;
};

Utf8Step utf8_step(std::string_view text) noexcept {
    const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80U) {
        return {1, true};
    }
    std::size_t needed = 0;
    unsigned char low = 0x80U;
    unsigned char high = 0xBFU;
    if (lead >= 0xC2U && lead <= 0xDFU) {
        needed = 2;
    } else if (lead >= 0xE0U && lead <= 0xEFU) {
        needed = 3;
        low = lead == 0xE0U ? 0xA0U : low;    // no overlong forms
        high = lead == 0xEDU ? 0x9FU : high;  // no surrogates
    } else if (lead >= 0xF0U && lead <= 0xF4U) {
        needed = 4;
        low = lead == 0xF0U ? 0x90U : low;    // no overlong forms
        high = lead == 0xF4U ? 0x8FU : high;  // nothing past U+10FFFF
    } else {
        return {1, false};
    }
    std::size_t length = 1;
    while (length < needed && length < text.size() && byte(length) >= low && byte(length) <= high) {
        ++length;
        low = 0x80U;
        high = 0xBFU;
    }
    return {length, length == needed};
}

std::string vformat(const char *format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

// The JSON reader of bank answers takes every byte up to the space for white
// space; the masking must not see less, or a value it reads stays unmasked.
std::size_t skip_blanks(std::string_view text, std::size_t pos) noexcept {
    while (pos < text.size() && static_cast<unsigned char>(text[pos]) <= 0x20U) {
        ++pos;
    }
    return pos;
}

// End of a JSON string whose opening quote is at `open`: the index of the
// closing quote, or npos when the text ends first.
std::size_t closing_quote(std::string_view text, std::size_t open) noexcept {
    for (std::size_t pos = open + 1; pos < text.size(); ++pos) {
        if (text[pos] == '\\') {
            ++pos;
        } else if (text[pos] == '"') {
            return pos;
        }
    }
    return std::string_view::npos;
}

// Position of the opening quote of the value that belongs to the quoted key
// ending just before `after_key`, or npos when no string value follows.
std::size_t string_value_start(std::string_view json, std::size_t after_key) noexcept {
    std::size_t pos = skip_blanks(json, after_key);
    if (pos >= json.size() || json[pos] != ':') {
        return std::string_view::npos;
    }
    pos = skip_blanks(json, pos + 1);
    return pos < json.size() && json[pos] == '"' ? pos : std::string_view::npos;
}

// The name a JSON reader sees in a quoted text that holds escapes (a secret's
// name may be spelt with them); empty when it holds none or is no valid string.
std::string escaped_name(std::string_view quoted) {
    if (quoted.find('\\') == std::string_view::npos) {
        return std::string();
    }
    const CJsonTree name(cJSON_ParseWithLength(quoted.data(), quoted.size()));
    const char *text = cJSON_GetStringValue(name.get());
    return text != nullptr ? text : std::string();
}

}  // namespace

std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) noexcept {
    if (text.size() <= max_bytes) {
        return text.size();
    }
    std::size_t cut = max_bytes;
    // A character is at most four bytes; malformed input is cut where it stands.
    for (int back = 0; back < 3 && cut > 0 && is_continuation_byte(text[cut]); ++back) {
        --cut;
    }
    return is_continuation_byte(text[cut]) ? max_bytes : cut;
}

std::string utf8_prefix(std::string_view text, std::size_t max_bytes) {
    return std::string(text.substr(0, utf8_prefix_length(text, max_bytes)));
}

std::string valid_utf8(std::string_view text) {
    std::string valid;
    valid.reserve(text.size());
    while (!text.empty()) {
        const Utf8Step step = utf8_step(text);
        valid.append(step.well_formed ? text.substr(0, step.length) : std::string_view("\xEF\xBF\xBD"));
        text.remove_prefix(step.length);
    }
    return valid;
}

bool has_control_character(std::string_view text) noexcept {
    for (const char c : text) {
        if (is_control_byte(static_cast<unsigned char>(c))) {
            return true;
        }
    }
    return false;
}

std::string bounded_format(std::size_t limit, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    const std::size_t room = limit > 0 ? limit - 1 : 0;
    text.resize(utf8_prefix_length(text, room));
    return text;
}

std::string format_text(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    return text;
}

std::string mask_json_values(std::string_view json, std::initializer_list<std::string_view> keys) {
    std::string masked;
    masked.reserve(json.size());
    std::size_t copied = 0;
    std::size_t pos = 0;
    while ((pos = json.find('"', pos)) != std::string_view::npos) {
        const std::size_t key_end = closing_quote(json, pos);
        if (key_end == std::string_view::npos) {
            break;
        }
        const std::string decoded = escaped_name(json.substr(pos, key_end + 1 - pos));
        const std::string_view name = decoded.empty() ? json.substr(pos + 1, key_end - pos - 1) : decoded;
        std::size_t next = key_end + 1;
        for (std::string_view key : keys) {
            if (name != key) {
                continue;
            }
            const std::size_t open = string_value_start(json, key_end + 1);
            const std::size_t close = open == std::string_view::npos ? open : closing_quote(json, open);
            if (close != std::string_view::npos) {
                masked.append(json.substr(copied, open + 1 - copied));
                masked.append("***");
                copied = close;
                next = close + 1;
            }
        }
        pos = next;
    }
    masked.append(json.substr(copied));
    return masked;
}

std::string amount_text(double amount) {
    return format_text("%.2f", amount);
}

namespace {

CJsonTree created(cJSON *tree) {
    if (tree == nullptr) {
        throw std::bad_alloc();
    }
    return CJsonTree(tree);
}

}  // namespace

CJsonTree new_json_object() {
    return created(cJSON_CreateObject());
}

CJsonTree new_json_array() {
    return created(cJSON_CreateArray());
}

void add_member(cJSON *object, const char *name, cJSON *value) {
    if (!add_to_object(object, name, CJsonTree(value))) {
        throw std::bad_alloc();
    }
}

void add_element(cJSON *array, cJSON *value) {
    CJsonTree element(value);
    if (!element || !cJSON_AddItemToArray(array, element.get())) {
        throw std::bad_alloc();
    }
    (void)element.release();
}

std::string printed_json(const cJSON *tree) {
    const CJsonText printed(cJSON_PrintUnformatted(tree));
    if (!printed) {
        throw std::bad_alloc();
    }
    return printed.get();
}

std::string json_object_of_strings(
    std::initializer_list<std::pair<const char *, const char *>> members) {
    const CJsonTree object = new_json_object();
    for (const auto &member : members) {
        add_member(object.get(), member.first, cJSON_CreateString(or_empty(member.second)));
    }
    return printed_json(object.get());
}

char *to_c_text(const std::string &text) noexcept {
    char *copy = static_cast<char *>(scb_malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

}  // namespace scb
