#include "text.hpp"

#include <new>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "owners.hpp"

namespace scb {

namespace {

bool is_continuation_byte(char byte) noexcept {
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
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

std::size_t skip_blanks(std::string_view text, std::size_t pos) noexcept {
    while (pos < text.size() && std::strchr(" \t\r\n", text[pos]) != nullptr) {
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
        const std::string_view name = json.substr(pos + 1, key_end - pos - 1);
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

std::string json_object_of_strings(
    std::initializer_list<std::pair<const char *, const char *>> members) {
    CJsonTree object(cJSON_CreateObject());
    for (const auto &member : members) {
        if (!object || cJSON_AddStringToObject(object.get(), member.first, or_empty(member.second)) == nullptr) {
            throw std::bad_alloc();
        }
    }
    const CJsonText printed(cJSON_PrintUnformatted(object.get()));
    if (!printed) {
        throw std::bad_alloc();
    }
    return printed.get();
}

char *to_c_text(const std::string &text) noexcept {
    char *copy = static_cast<char *>(scb_malloc(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

}  // namespace scb
