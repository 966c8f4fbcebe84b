// What every fuzz target needs besides the library: a way to report a broken
// property, and a strict UTF-8 reading of its own to judge texts against, so
// the library's own character handling is never its own referee.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <cjson/cJSON.h>

#include "owned.hpp"

namespace fuzz {

// A broken property is a crash libFuzzer keeps the input for.
inline void check(bool property) {
    if (!property) {
        __builtin_trap();
    }
}

// Length of the well-formed character starting at text[pos] (Unicode's table
// of well-formed byte sequences), or 0 when the bytes there are not one.
inline std::size_t character_length(std::string_view text, std::size_t pos) {
    const auto at = [&](std::size_t offset) -> unsigned {
        return pos + offset < text.size() ? static_cast<unsigned char>(text[pos + offset]) : 0x100U;
    };
    const auto in = [](unsigned byte, unsigned low, unsigned high) { return byte >= low && byte <= high; };
    const unsigned b0 = at(0);
    if (b0 < 0x80U) {
        return 1;
    }
    if (in(b0, 0xC2, 0xDF)) {
        return in(at(1), 0x80, 0xBF) ? 2 : 0;
    }
    if (in(b0, 0xE0, 0xEF)) {
        const unsigned low = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = b0 == 0xED ? 0x9F : 0xBF;
        return in(at(1), low, high) && in(at(2), 0x80, 0xBF) ? 3 : 0;
    }
    if (in(b0, 0xF0, 0xF4)) {
        const unsigned low = b0 == 0xF0 ? 0x90 : 0x80;
        const unsigned high = b0 == 0xF4 ? 0x8F : 0xBF;
        return in(at(1), low, high) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

inline bool valid_utf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = character_length(text, pos);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

// Whether a cut after `cut` bytes splits a well-formed character of text.
inline bool cuts_a_character(std::string_view text, std::size_t cut) {
    for (std::size_t start = cut >= 3 ? cut - 3 : 0; start < cut; ++start) {
        if (start + character_length(text, start) > cut) {
            return true;
        }
    }
    return false;
}

inline bool has_control_byte(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20U || byte == 0x7FU) {
            return true;
        }
    }
    return false;
}

// The text the library sees when handed data as a C string: up to the first NUL.
inline std::string c_text(const std::uint8_t *data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char *>(data), size);
    return raw.substr(0, raw.find('\0'));
}

// First member named `name` in `object`, by exact or by letter-case-blind
// comparison; walked here rather than asked of the library under test.
inline const cJSON *first_member(const cJSON *object, std::string_view name, bool ignore_case) {
    if (object == nullptr || !cJSON_IsObject(object)) {
        return nullptr;
    }
    const auto same = [&](const char *key) {
        const std::string_view other(key != nullptr ? key : "");
        if (other.size() != name.size()) {
            return false;
        }
        for (std::size_t i = 0; i < name.size(); ++i) {
            const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
            if (ignore_case ? lower(other[i]) != lower(name[i]) : other[i] != name[i]) {
                return false;
            }
        }
        return true;
    };
    for (const cJSON *child = object->child; child != nullptr; child = child->next) {
        if (same(child->string)) {
            return child;
        }
    }
    return nullptr;
}

inline bool same_text(const char *a, const char *b) {
    return a != nullptr && b != nullptr && std::string_view(a) == std::string_view(b);
}

}  // namespace fuzz
