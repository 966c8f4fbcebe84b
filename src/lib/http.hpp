// HTTP adapter: blocking HTTPS exchanges with header lines and JSON bodies,
// query building, the CA file choice, the bank connections kept between
// operations, and the owners of libcurl's resources.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "owned.hpp"

namespace scb {

using CurlHandle = Owned<CURL, curl_easy_cleanup>;
using CurlShare = Owned<CURLSH, curl_share_cleanup>;
using CurlHeaderList = Owned<curl_slist, curl_slist_free_all>;
using CurlText = Owned<char, curl_free>;
// The client certificate's files, read at every request.
using CFile = Owned<std::FILE, std::fclose>;

// curl_slist_append hands back a new head, or null while the old list stays
// valid; keeping both in one place keeps the list owned on either outcome.
inline bool append_header(CurlHeaderList &list, const char *line) noexcept {
    curl_slist *head = curl_slist_append(list.get(), line);
    if (head == nullptr) {
        return false;
    }
    (void)list.release();
    list.reset(head);
    return true;
}

// One completed exchange: the status and the whole body as it came.
struct HttpReply {
    long status = 0;
    std::string body;
};

using HeaderLines = std::vector<std::string>;

// Query pairs in order; values are percent-encoded when the URL is built.
using QueryPairs = std::vector<std::pair<std::string, std::string>>;

// Each exchange has the 30-second limit, goes out over https only, presents
// the client certificate SCB_CLIENT_CERT and SCB_CLIENT_KEY name (read at
// every request; a file that cannot be read sends nothing) and goes on the
// calling thread's kept connections for that certificate when reuse is on;
// nothing when none completed (the cause is logged).
std::optional<HttpReply> post_json(const std::string &url, const std::string &body, const HeaderLines &headers);
std::optional<HttpReply> get(const std::string &url, const HeaderLines &headers);

// A GET with the query built as url_with_query builds it, within 2,047
// characters; "[SCB API] GET" is logged with the URL.
std::optional<HttpReply> get_with_query(const std::string &url, const std::optional<QueryPairs> &query,
                                        const HeaderLines &headers);

// The URL, "?" and the pairs, values percent-encoded; without a query
// nothing is added, with an empty one the "?" alone. Nothing when the part
// after the URL would pass max_query_chars or an encoding fails.
std::optional<std::string> url_with_query(CURL *handle, const std::string &url,
                                          const std::optional<QueryPairs> &query, std::size_t max_query_chars);

// The same on a libcurl handle of its own, for a URL sent with another request.
std::optional<std::string> url_with_query(const std::string &url, const QueryPairs &query,
                                          std::size_t max_query_chars);

// Closes the bank connections this process keeps; those of a request under
// way close when it ends.
void close_kept_bank_connections() noexcept;

}  // namespace scb
