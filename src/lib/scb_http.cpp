#include "scb_http.hpp"

#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "owners.hpp"
#include "scb_kept.hpp"
#include "scb.h"
#include "text.hpp"

namespace scb {

std::optional<std::string> url_with_query(CURL *handle, const char *url, const char *const *keys,
                                          const char *const *values, int32_t count,
                                          std::size_t max_query_chars) {
    std::string built(url);
    if (count <= 0 || keys == nullptr || values == nullptr) {
        return built;
    }
    const std::size_t base = built.size();
    built += '?';
    bool first = true;
    for (int32_t i = 0; i < count; ++i) {
        if (keys[i] == nullptr || values[i] == nullptr) {
            continue;
        }
        const CurlText encoded(curl_easy_escape(handle, values[i], 0));
        if (!encoded) {
            return std::nullopt;
        }
        built += first ? "" : "&";
        built += keys[i];
        built += '=';
        built += encoded.get();
        first = false;
    }
    // With every pair skipped the query is the "?" alone, which counts too.
    if (built.size() - base > max_query_chars) {
        return std::nullopt;
    }
    return built;
}

}  // namespace scb

namespace {

constexpr long kTransferTimeoutSeconds = 30;
constexpr std::size_t kRequestLineLimit = 8192;
constexpr std::size_t kGetLineLimit = 2048;
constexpr std::size_t kQueryLimit = 2047;

const char *const kFallbackCaFiles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/ssl/cert.pem",
};

// libcurl's global set-up is not thread-safe; a function-local static runs it
// exactly once, before the first handle, whichever thread gets there first.
bool curl_ready() noexcept {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    return init == CURLE_OK;
}

struct ShareTraits {
    using Resource = CURLSH;
    // Its cached connections end with their TLS close.
    static void close(CURLSH *share) noexcept { scb::CurlShare(share).reset(); }
    static bool reusable(CURLSH *) noexcept { return true; }
    // Its sockets are noted with the keeper, which closes them.
    static void abandon(CURLSH *) noexcept {}
};
using ShareKeeper = scb::Keeper<ShareTraits>;

// A share and its connection cache serve one thread: libcurl does not
// support one connection cache for several threads at once.
CURLSH *new_share() noexcept {
    scb::CurlShare share(curl_ready() ? curl_share_init() : nullptr);
    if (!share) {
        return nullptr;
    }
    for (const curl_lock_data data : {CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_CONNECT}) {
        if (curl_share_setopt(share.get(), CURLSHOPT_SHARE, data) != CURLSHE_OK) {
            return nullptr;
        }
    }
    return share.release();
}

// Back to the keeper after the request, or closed when it is not kept.
struct ShareGiveBack {
    void operator()(CURLSH *share) const noexcept {
        if (!ShareKeeper::instance().give_back(share)) {
            ShareTraits::close(share);
        }
    }
};
using LentShare = std::unique_ptr<CURLSH, ShareGiveBack>;

// This thread's share for one request; null when reuse is off, and the
// request then goes out on a connection of its own.
LentShare lend_share() noexcept {
    if (!scb::reuse_connections()) {
        return nullptr;
    }
    ShareKeeper &keeper = ShareKeeper::instance();
    if (CURLSH *kept = keeper.borrow("")) {
        return LentShare(kept);
    }
    LentShare made(new_share());
    if (!made) {
        scb_log_error("Failed to set up kept bank connections");
    } else {
        (void)keeper.keep("", made.get());
    }
    return made;
}

// A forked child must be able to close the sockets of the parent's kept
// connections without libcurl, so every one is noted when it opens.
curl_socket_t open_kept_socket(void *, curlsocktype, curl_sockaddr *address) noexcept {
    const int descriptor = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (descriptor < 0) {
        return CURL_SOCKET_BAD;
    }
    ShareKeeper::instance().note_socket(descriptor);
    return descriptor;
}

int close_kept_socket(void *, curl_socket_t descriptor) noexcept {
    ShareKeeper::instance().forget_socket(descriptor);
    return close(descriptor);
}

bool use_share(CURL *handle, CURLSH *share) noexcept {
    const curl_opensocket_callback opener = open_kept_socket;
    const curl_closesocket_callback closer = close_kept_socket;
    return curl_easy_setopt(handle, CURLOPT_SHARE, share) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, opener) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, closer) == CURLE_OK;
}

// A new handle, on the kept connections of `share` when one is given.
scb::CurlHandle new_handle(CURLSH *share = nullptr) noexcept {
    scb::CurlHandle handle(curl_ready() ? curl_easy_init() : nullptr);
    if (!handle) {
        scb_log_error("Failed to initialize CURL");
    } else if (share != nullptr && !use_share(handle.get(), share)) {
        scb_log_error("Failed to configure CURL request");
        handle.reset();
    }
    return handle;
}

// One request's easy handle with the share it is attached to. Members end in
// reverse order, so the handle is gone before the share goes back.
struct RequestHandle {
    LentShare share;
    scb::CurlHandle curl;
};

// A handle on this thread's kept connections when reuse is on, else on a
// connection of its own; `curl` is null when no handle could be made.
RequestHandle new_request_handle() noexcept {
    RequestHandle request{lend_share(), nullptr};
    request.curl = new_handle(request.share.get());
    return request;
}

// A new record's body: the empty text alone.
constexpr size_t kEmptyBodyBlock = 1;

http_response *new_response() noexcept {
    auto *response = static_cast<http_response *>(scb_malloc(sizeof(http_response)));
    if (response == nullptr) {
        return nullptr;
    }
    response->body = static_cast<char *>(scb_malloc(kEmptyBodyBlock));
    if (response->body == nullptr) {
        scb_free(response);
        return nullptr;
    }
    response->body[0] = '\0';
    response->status_code = 0;
    response->body_size = 0;
    return response;
}

// The record being filled and the size of its body block. The block grows
// by doubling: growing it by each chunk alone copies a large answer once per
// chunk wherever realloc cannot extend in place.
struct BodySink {
    http_response *record;
    size_t capacity;
};

// libcurl's body sink: it must never throw, and a 0 return aborts the transfer.
size_t write_callback(char *data, size_t size, size_t count, void *userdata) noexcept {
    auto *sink = static_cast<BodySink *>(userdata);
    http_response *response = sink->record;
    const size_t received = size * count;
    const size_t needed = response->body_size + received + 1;
    if (needed > sink->capacity) {
        const size_t capacity = std::max(needed, sink->capacity * 2);
        auto *grown = static_cast<char *>(std::realloc(response->body, capacity));
        if (grown == nullptr) {
            scb_log_error("Failed to allocate memory for HTTP response");
            return 0;
        }
        response->body = grown;
        sink->capacity = capacity;
    }
    std::memcpy(response->body + response->body_size, data, received);
    response->body_size += received;
    response->body[response->body_size] = '\0';
    return received;
}

bool exists(const char *path) noexcept {
    struct stat info;
    return path != nullptr && stat(path, &info) == 0;
}

// CURL_CA_BUNDLE wins whenever it is set, even when it names nothing;
// SSL_CERT_FILE is consulted only in its absence.
const char *chosen_ca_file() noexcept {
    const char *candidate = std::getenv("CURL_CA_BUNDLE");
    if (candidate == nullptr) {
        candidate = std::getenv("SSL_CERT_FILE");
    }
    if (exists(candidate)) {
        return candidate;
    }
    for (const char *path : kFallbackCaFiles) {
        if (exists(path)) {
            return path;
        }
    }
    return nullptr;
}

bool set_ca_bundle(CURL *handle) noexcept {
    const char *ca_file = chosen_ca_file();
    if (ca_file == nullptr) {
        scb_log_error("Warning: No CA bundle found, SSL verification may fail");
        return true;
    }
    return curl_easy_setopt(handle, CURLOPT_CAINFO, ca_file) == CURLE_OK;
}

// Only https, for the request and any redirect: another scheme would read a
// local file into the answer or carry the credentials in clear text.
bool allow_only_https(CURL *handle) noexcept {
#if LIBCURL_VERSION_NUM >= 0x075500
    return curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK;
#else
    return curl_easy_setopt(handle, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS)) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTPS)) == CURLE_OK;
#endif
}

// Checked before anything else, so a refused URL sends and reads nothing;
// libcurl would guess a scheme for a URL without one.
bool is_https(const char *url) noexcept {
    return strncasecmp(url, "https://", 8) == 0;
}

bool configure(CURL *handle, const char *url, curl_slist *headers, const char *post_body,
               BodySink *sink) noexcept {
    const curl_write_callback sink_function = write_callback;
    const bool configured =
        curl_easy_setopt(handle, CURLOPT_URL, url) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
        (post_body == nullptr || curl_easy_setopt(handle, CURLOPT_POSTFIELDS, post_body) == CURLE_OK) &&
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, sink_function) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, sink) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTransferTimeoutSeconds) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        allow_only_https(handle) &&
        // Threads calling at once: no signal-based timeouts.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK && set_ca_bundle(handle);
    if (!configured) {
        scb_log_error("Failed to configure CURL request");
    }
    return configured;
}

// A line break inside a caller's value (a key, a token) would start a header
// of its own or end the header block early; libcurl sends lines as given.
bool safe_header_line(const char *line) noexcept {
    for (const char *c = line; *c != '\0'; ++c) {
        if (*c != '\t' && scb::is_control_byte(static_cast<unsigned char>(*c))) {
            return false;
        }
    }
    return true;
}

bool build_header_list(scb::CurlHeaderList &list, bool json_body, const char *const *headers,
                       int32_t header_count) noexcept {
    if (json_body && !scb::append_header(list, "Content-Type: application/json")) {
        return false;
    }
    for (int32_t i = 0; headers != nullptr && i < header_count; ++i) {
        if (headers[i] == nullptr) {
            continue;
        }
        // The line itself is not logged: it may carry a token.
        if (!safe_header_line(headers[i])) {
            scb_log_error("Refused a header line holding a control character");
            return false;
        }
        if (!scb::append_header(list, headers[i])) {
            return false;
        }
    }
    return true;
}

void log_response(const char *method, const http_response *response) {
    const std::string body = scb::mask_json_values(response->body, {"accessToken", "access_token", "refreshToken", "refresh_token"});
    scb_log_debug(scb::bounded_format(kRequestLineLimit, "[SCB API] %s response - Status: %ld, Body: %s",
                                      method, static_cast<long>(response->status_code), body.c_str())
                      .c_str());
}

// One exchange on its own handle. post_body null means GET; response_method
// names the debug line written after the exchange (null: none).
http_response *perform(RequestHandle request, const char *url, const char *post_body,
                       const char *const *headers, int32_t header_count, const char *response_method) {
    if (!is_https(url)) {
        scb_log_error("Refused a URL whose scheme is not https");
        return nullptr;
    }
    scb::HttpResponse response(new_response());
    if (!response) {
        return nullptr;
    }
    scb::CurlHeaderList list;
    if (!build_header_list(list, post_body != nullptr, headers, header_count)) {
        scb_log_error("Failed to build HTTP header list");
        return nullptr;
    }
    if (post_body != nullptr) {
        const std::string body = scb::mask_json_values(post_body, {"applicationSecret"});
        scb_log_debug(scb::bounded_format(kRequestLineLimit, "[SCB API] POST - URL: %s, Body: %s", url,
                                          body.c_str())
                          .c_str());
    }
    BodySink sink{response.get(), kEmptyBodyBlock};
    if (!configure(request.curl.get(), url, list.get(), post_body, &sink)) {
        return nullptr;
    }
    const CURLcode result = curl_easy_perform(request.curl.get());
    if (result != CURLE_OK) {
        scb_log_error(scb::bounded_format(256, "CURL error: %s", curl_easy_strerror(result)).c_str());
        return nullptr;
    }
    long status = 0;
    if (curl_easy_getinfo(request.curl.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
        scb_log_error("Failed to read HTTP status");
        return nullptr;
    }
    response->status_code = status;
    if (response_method != nullptr) {
        log_response(response_method, response.get());
    }
    return response.release();
}

}  // namespace

namespace scb {

std::optional<std::string> url_with_query(const char *url, const char *const *keys, const char *const *values,
                                          int32_t count, std::size_t max_query_chars) {
    const CurlHandle encoder = new_handle();
    if (!encoder) {
        return std::nullopt;
    }
    return url_with_query(encoder.get(), url, keys, values, count, max_query_chars);
}

void close_kept_bank_connections() noexcept {
    ShareKeeper::instance().close_all();
}

}  // namespace scb

extern "C" {

http_response *http_post_json(const char *url, const char *body, const char *const *headers,
                              int32_t header_count) noexcept {
    try {
        RequestHandle request = new_request_handle();
        if (!request.curl) {
            return nullptr;
        }
        return perform(std::move(request), scb::or_empty(url), scb::or_empty(body), headers, header_count, "POST");
    } catch (...) {
        return nullptr;
    }
}

http_response *http_get_with_params(const char *url, const char *const *keys, const char *const *values,
                                    int32_t param_count, const char *const *headers,
                                    int32_t header_count) noexcept {
    try {
        RequestHandle request = new_request_handle();
        if (!request.curl) {
            return nullptr;
        }
        const std::optional<std::string> built =
            scb::url_with_query(request.curl.get(), scb::or_empty(url), keys, values, param_count, kQueryLimit);
        if (!built) {
            scb_log_error("Failed to build URL with parameters");
            return nullptr;
        }
        scb_log_debug(scb::bounded_format(kGetLineLimit, "[SCB API] GET - URL: %s", built->c_str()).c_str());
        return perform(std::move(request), built->c_str(), nullptr, headers, header_count, "GET");
    } catch (...) {
        return nullptr;
    }
}

http_response *http_get(const char *url, const char *const *headers, int32_t header_count) noexcept {
    try {
        RequestHandle request = new_request_handle();
        if (!request.curl) {
            return nullptr;
        }
        return perform(std::move(request), scb::or_empty(url), nullptr, headers, header_count, nullptr);
    } catch (...) {
        return nullptr;
    }
}

void http_response_free(http_response *response) noexcept {
    if (response == nullptr) {
        return;
    }
    scb_free(response->body);
    scb_free(response);
}

}  // extern "C"
