#include "http.hpp"

#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "keeper.hpp"
#include "scb.h"
#include "text.hpp"

namespace scb {

std::optional<std::string> url_with_query(CURL *handle, const std::string &url,
                                          const std::optional<QueryPairs> &query, std::size_t max_query_chars) {
    std::string built(url);
    if (!query) {
        return built;
    }
    const std::size_t base = built.size();
    built += '?';
    bool first = true;
    for (const auto &[key, value] : *query) {
        const CurlText encoded(curl_easy_escape(handle, value.c_str(), static_cast<int>(value.size())));
        if (!encoded) {
            return std::nullopt;
        }
        built += first ? "" : "&";
        built += key;
        built += '=';
        built += encoded.get();
        first = false;
    }
    // With no pair at all the query is the "?" alone, which counts too.
    if (built.size() - base > max_query_chars) {
        return std::nullopt;
    }
    return built;
}

}  // namespace scb

namespace {

constexpr long kTransferTimeoutSeconds = 30;
// A certificate chain or a key is a few kilobytes; a larger file is not one.
constexpr std::size_t kMaxPemBytes = 1 << 20;
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

// The client certificate every bank request presents when the environment
// names one, for a bank that asks for mutual TLS: PEM files named by
// SCB_CLIENT_CERT and SCB_CLIENT_KEY (both or neither; empty counts as
// unset), read at every request, and SCB_CLIENT_KEY_PASSWORD for an
// encrypted key. Lines name the variables, never what the files hold.
struct ClientCertificate {
    std::string cert_file;
    std::string key_file;
    std::string key_password;
    std::string cert_pem;
    std::string key_pem;

    bool presented() const noexcept { return !cert_file.empty(); }
};

std::string environment_text(const char *name) {
    return scb::or_empty(std::getenv(name));
}

// The whole file when it can be read and holds `marker`; nothing otherwise.
std::optional<std::string> pem_file(const std::string &path, const char *marker) {
    const scb::CFile file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return std::nullopt;
    }
    std::string text(kMaxPemBytes + 1, '\0');
    const std::size_t length = std::fread(text.data(), 1, text.size(), file.get());
    if (std::ferror(file.get()) != 0 || length > kMaxPemBytes) {
        return std::nullopt;
    }
    text.resize(length);
    if (text.find(marker) == std::string::npos) {
        return std::nullopt;
    }
    return text;
}

// The certificate the environment names, read; nothing after logging why
// when it names half of one or a file that is no PEM of its kind.
std::optional<ClientCertificate> client_certificate() {
    ClientCertificate certificate{environment_text("SCB_CLIENT_CERT"), environment_text("SCB_CLIENT_KEY"),
                                  environment_text("SCB_CLIENT_KEY_PASSWORD"), "", ""};
    if (certificate.cert_file.empty() && certificate.key_file.empty()) {
        return certificate;
    }
    if (certificate.key_file.empty()) {
        scb_log_error("SCB_CLIENT_KEY is not set: the client certificate of SCB_CLIENT_CERT needs its key");
        return std::nullopt;
    }
    if (certificate.cert_file.empty()) {
        scb_log_error("SCB_CLIENT_CERT is not set: the client key of SCB_CLIENT_KEY needs its certificate");
        return std::nullopt;
    }
    std::optional<std::string> cert = pem_file(certificate.cert_file, "-----BEGIN CERTIFICATE-----");
    if (!cert) {
        scb_log_error("Cannot read a PEM certificate from the file named by SCB_CLIENT_CERT");
        return std::nullopt;
    }
    std::optional<std::string> key = pem_file(certificate.key_file, "PRIVATE KEY-----");
    if (!key) {
        scb_log_error("Cannot read a PEM private key from the file named by SCB_CLIENT_KEY");
        return std::nullopt;
    }
    certificate.cert_pem = std::move(*cert);
    certificate.key_pem = std::move(*key);
    return certificate;
}

bool present(CURL *handle, ClientCertificate &certificate) noexcept {
    if (!certificate.presented()) {
        return true;
    }
    curl_blob cert{certificate.cert_pem.data(), certificate.cert_pem.size(), CURL_BLOB_COPY};
    curl_blob key{certificate.key_pem.data(), certificate.key_pem.size(), CURL_BLOB_COPY};
    return curl_easy_setopt(handle, CURLOPT_SSLCERT_BLOB, &cert) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_SSLCERTTYPE, "PEM") == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_SSLKEY_BLOB, &key) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_SSLKEYTYPE, "PEM") == CURLE_OK &&
           (certificate.key_password.empty() ||
            curl_easy_setopt(handle, CURLOPT_KEYPASSWD, certificate.key_password.c_str()) == CURLE_OK);
}

// One request's easy handle with the share it is attached to. Members end in
// reverse order, so the handle is gone before the share goes back.
struct RequestHandle {
    LentShare share;
    scb::CurlHandle curl;
};

// A handle presenting the client certificate, if any, on this thread's kept
// connections when reuse is on, else on a connection of its own; `curl` is
// null when no handle could be made. A kept connection (or TLS session) is
// lent only to a request with the certificate it was made with, or none:
// libcurl matches the certificate blobs when it picks one.
RequestHandle new_request_handle() {
    std::optional<ClientCertificate> certificate = client_certificate();
    if (!certificate) {
        return RequestHandle{};
    }
    RequestHandle request{lend_share(), nullptr};
    request.curl = new_handle(request.share.get());
    if (request.curl && !present(request.curl.get(), *certificate)) {
        scb_log_error("Failed to configure CURL request");
        request.curl.reset();
    }
    return request;
}

// libcurl's body sink: it must never throw, and a 0 return aborts the
// transfer. The body grows by doubling, so a large answer is not copied once
// per chunk.
size_t write_callback(char *data, size_t size, size_t count, void *userdata) noexcept {
    const size_t received = size * count;
    try {
        static_cast<std::string *>(userdata)->append(data, received);
    } catch (...) {
        scb_log_error("Failed to allocate memory for HTTP response");
        return 0;
    }
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

bool configure(CURL *handle, const char *url, curl_slist *headers, const std::string *post_body,
               std::string *sink) noexcept {
    const curl_write_callback sink_function = write_callback;
    const bool configured =
        curl_easy_setopt(handle, CURLOPT_URL, url) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
        (post_body == nullptr || curl_easy_setopt(handle, CURLOPT_POSTFIELDS, post_body->c_str()) == CURLE_OK) &&
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

bool build_header_list(scb::CurlHeaderList &list, bool json_body, const scb::HeaderLines &headers) noexcept {
    if (json_body && !scb::append_header(list, "Content-Type: application/json")) {
        return false;
    }
    for (const std::string &line : headers) {
        // The line itself is not logged: it may carry a token.
        if (!safe_header_line(line.c_str())) {
            scb_log_error("Refused a header line holding a control character");
            return false;
        }
        if (!scb::append_header(list, line.c_str())) {
            return false;
        }
    }
    return true;
}

void log_response(const char *method, const scb::HttpReply &reply) {
    const std::string body =
        scb::mask_json_values(reply.body.c_str(), {"accessToken", "access_token", "refreshToken", "refresh_token"});
    scb_log_debug(scb::bounded_format(kRequestLineLimit, "[SCB API] %s response - Status: %ld, Body: %s", method,
                                      reply.status, body.c_str())
                      .c_str());
}

// One exchange on its own handle. post_body null means GET; response_method
// names the debug line written after the exchange (null: none).
std::optional<scb::HttpReply> perform(RequestHandle request, const std::string &url, const std::string *post_body,
                                      const scb::HeaderLines &headers, const char *response_method) {
    if (!is_https(url.c_str())) {
        scb_log_error("Refused a URL whose scheme is not https");
        return std::nullopt;
    }
    scb::CurlHeaderList list;
    if (!build_header_list(list, post_body != nullptr, headers)) {
        scb_log_error("Failed to build HTTP header list");
        return std::nullopt;
    }
    if (post_body != nullptr) {
        const std::string body = scb::mask_json_values(*post_body, {"applicationSecret"});
        scb_log_debug(scb::bounded_format(kRequestLineLimit, "[SCB API] POST - URL: %s, Body: %s", url.c_str(),
                                          body.c_str())
                          .c_str());
    }
    scb::HttpReply reply;
    if (!configure(request.curl.get(), url.c_str(), list.get(), post_body, &reply.body)) {
        return std::nullopt;
    }
    const CURLcode result = curl_easy_perform(request.curl.get());
    if (result != CURLE_OK) {
        scb_log_error(scb::bounded_format(256, "CURL error: %s", curl_easy_strerror(result)).c_str());
        if (result == CURLE_SSL_CERTPROBLEM) {
            scb_log_error("The client certificate of SCB_CLIENT_CERT and SCB_CLIENT_KEY (with SCB_CLIENT_KEY_PASSWORD) "
                          "could not be used");
        }
        return std::nullopt;
    }
    if (curl_easy_getinfo(request.curl.get(), CURLINFO_RESPONSE_CODE, &reply.status) != CURLE_OK) {
        scb_log_error("Failed to read HTTP status");
        return std::nullopt;
    }
    if (response_method != nullptr) {
        log_response(response_method, reply);
    }
    return reply;
}

}  // namespace

namespace scb {

std::optional<HttpReply> post_json(const std::string &url, const std::string &body, const HeaderLines &headers) {
    RequestHandle request = new_request_handle();
    if (!request.curl) {
        return std::nullopt;
    }
    return perform(std::move(request), url, &body, headers, "POST");
}

std::optional<HttpReply> get(const std::string &url, const HeaderLines &headers) {
    RequestHandle request = new_request_handle();
    if (!request.curl) {
        return std::nullopt;
    }
    return perform(std::move(request), url, nullptr, headers, nullptr);
}

std::optional<HttpReply> get_with_query(const std::string &url, const std::optional<QueryPairs> &query,
                                        const HeaderLines &headers) {
    RequestHandle request = new_request_handle();
    if (!request.curl) {
        return std::nullopt;
    }
    const std::optional<std::string> built = url_with_query(request.curl.get(), url, query, kQueryLimit);
    if (!built) {
        scb_log_error("Failed to build URL with parameters");
        return std::nullopt;
    }
    scb_log_debug(bounded_format(kGetLineLimit, "[SCB API] GET - URL: %s", built->c_str()).c_str());
    return perform(std::move(request), *built, nullptr, headers, "GET");
}

std::optional<std::string> url_with_query(const std::string &url, const QueryPairs &query,
                                          std::size_t max_query_chars) {
    const CurlHandle encoder = new_handle();
    if (!encoder) {
        return std::nullopt;
    }
    return url_with_query(encoder.get(), url, query, max_query_chars);
}

void close_kept_bank_connections() noexcept {
    ShareKeeper::instance().close_all();
}

}  // namespace scb
