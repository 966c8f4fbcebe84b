// Bounded text building shared by every layer: fixed-size formatting that cuts
// on a UTF-8 character boundary, and the secret masking of logged JSON.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "owned.hpp"

namespace scb {

// Length of the longest prefix of text, at most max_bytes long, that does not
// end inside a UTF-8 character.
std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) noexcept;

std::string utf8_prefix(std::string_view text, std::size_t max_bytes);

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, one for
// each maximal part of a character that could not be completed, as strict
// decoders read it; well-formed text comes back unchanged.
std::string valid_utf8(std::string_view text);

// A C0 control character or DEL.
inline bool is_control_byte(unsigned char byte) noexcept { return byte < 0x20U || byte == 0x7FU; }

// Any control byte at all: what a token must never hold.
bool has_control_character(std::string_view text) noexcept;

// printf-style formatting into a buffer of `limit` bytes (terminator counted):
// the text is cut at limit - 1 bytes, never inside a character.
std::string bounded_format(std::size_t limit, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The same without the cut, for texts that must go out whole.
std::string format_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the string value of every member named in keys with ***, wherever
// it stands in the JSON text; everything else is kept byte for byte.
std::string mask_json_values(std::string_view json, std::initializer_list<std::string_view> keys);

// The amount as the bank and the intent table take it: two decimals.
std::string amount_text(double amount);

// Documents the library builds itself, where running out of memory is the
// only failure, thrown as std::bad_alloc: a new object or array, a member or
// element added (the value is released when it cannot be added), and the
// compact text.
CJsonTree new_json_object();
CJsonTree new_json_array();
void add_member(cJSON *object, const char *name, cJSON *value);
void add_element(cJSON *array, cJSON *value);
std::string printed_json(const cJSON *tree);

// A compact JSON object of string members in the given order, every value
// escaped; null values are written as empty strings.
std::string json_object_of_strings(
    std::initializer_list<std::pair<const char *, const char *>> members);

// Heap copy for the C interface; null when memory runs out.
char *to_c_text(const std::string &text) noexcept;

// An on/off environment switch: on when its first character is 1, t or T.
inline bool switch_is_on(const char *value) noexcept {
    return value != nullptr && (value[0] == '1' || value[0] == 't' || value[0] == 'T');
}

// A C caller may pass null where a text is expected; it reads as empty.
inline const char *or_empty(const char *text) noexcept { return text != nullptr ? text : ""; }

}  // namespace scb
