// Query building shared by the GET-with-parameters request and the callers
// that need the same encoded URL for a POST.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <curl/curl.h>

namespace scb {

// The URL, "?" and the pairs whose key and value are both present, values
// percent-encoded. Nothing (no "?") is added when count is 0. Empty when the
// part after the URL would pass max_query_chars or an encoding fails.
std::optional<std::string> url_with_query(CURL *handle, const char *url, const char *const *keys,
                                          const char *const *values, int32_t count,
                                          std::size_t max_query_chars);

// The same on a libcurl handle of its own, for callers that send the URL
// with another request.
std::optional<std::string> url_with_query(const char *url, const char *const *keys, const char *const *values,
                                          int32_t count, std::size_t max_query_chars);

// Closes the bank connections this process keeps; those of a request under
// way close when it ends.
void close_kept_bank_connections() noexcept;

}  // namespace scb
