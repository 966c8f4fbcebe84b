// The floor of the benchmark: for each operation, the same database statements
// and the same HTTPS requests the extension makes, sent straight through libpq
// and libcurl with nothing around them. Like the extension, every operation
// opens its own database session and every request its own handle, so each
// pays a fresh connection and TLS handshake with the same certificate checks.
// With --kept, one session and one libcurl handle serve every call, as the
// extension's kept connections (SCB_REUSE_CONNECTIONS) do at best.
//
// Reads one call per line on standard input and answers each with one line
// "WALL_NS CPU_NS HTTPS_CPU_NS PREEMPTED": wall time, CPU time of the calling
// thread, the part of that CPU time spent in the bank requests, and how often
// the thread was preempted (involuntary context switches). Calls:
//
//   qr_by_bank     BANK_ACCOUNT_ID REF1
//   invoice_new    INVOICE_ID CONFIG_ID BANK_ACCOUNT_ID
//   invoice_reused INVOICE_ID
//   inquiry        CONFIG_ID TRANSACTION_ID TRANSACTION_DATE
//
// Reads PG*, SCB_SANDBOX_HOST / SCB_PRODUCTION_HOST and CURL_CA_BUNDLE from the
// environment. Any unexpected answer stops the run: a floor that skipped work
// would flatter it.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iostream>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include "db.hpp"
#include "http.hpp"
#include "sql.hpp"

namespace {

using namespace scb::sql;

// Set by --kept: the session and the handle outlive the call.
bool keep_connections = false;

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "floor: %s\n", why.c_str());
    std::exit(1);
}

long long now_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// CPU time of the current call spent in exchange(), from handle creation to cleanup.
long long https_cpu_ns = 0;

long preemptions() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
}

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// ---- database -------------------------------------------------------------

// A new session per call, or the one kept across calls.
PGconn *connect_in_utc() {
    scb::PgConnHandle conn(PQconnectdb(""));
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        fail(std::string("connect: ") + PQerrorMessage(conn.get()));
    }
    // In UTC as the module's sessions are: set after connecting when the server reports another zone.
    const char *zone = PQparameterStatus(conn.get(), "TimeZone");
    if (zone == nullptr || std::string(zone) != "UTC") {
        const scb::PgResult set(PQexec(conn.get(), kSessionInUtc));
        if (PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
            fail(std::string("time zone: ") + PQerrorMessage(conn.get()));
        }
    }
    return conn.release();
}

struct Session {
    scb::PgConnHandle own;
    PGconn *conn;
    Session() : own(keep_connections ? nullptr : connect_in_utc()), conn(own ? own.get() : kept()) {}

    static PGconn *kept() {
        static const scb::PgConnHandle session(connect_in_utc());
        return session.get();
    }
};

struct Rows {
    scb::PgResult result;
    Rows(PGconn *conn, const char *sql, std::initializer_list<const char *> params, ExecStatusType expected) {
        const std::vector<const char *> values(params);
        result.reset(
            PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
        if (PQresultStatus(result.get()) != expected) {
            fail(std::string("statement: ") + PQerrorMessage(conn));
        }
    }
    int count() const { return PQntuples(result.get()); }
    std::string text(int column) const { return PQgetvalue(result.get(), 0, column); }
};

// ---- bank -----------------------------------------------------------------

std::string request_id() {
    static std::mt19937_64 random{std::random_device{}()};
    const unsigned long long high = random();
    const unsigned long long low = random();
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-4%03llx-%04llx-%012llx", high >> 32, (high >> 16) & 0xffff,
                  high & 0xfff, 0x8000 | ((low >> 48) & 0x3fff), low & 0xffffffffffffULL);
    return text;
}

std::string base_url(const std::string &environment) {
    std::string host = env(environment == "production" ? "SCB_PRODUCTION_HOST" : "SCB_SANDBOX_HOST");
    if (host.empty()) {
        fail("bank host not set");
    }
    return "https://" + host + (environment == "production" ? "/partners/v1" : "/partners/sandbox/v1");
}

// A new easy handle per request, or the one kept across calls, reset to its
// defaults but holding on to its connection cache.
struct RequestHandle {
    scb::CurlHandle own;
    CURL *curl;
    RequestHandle() : own(keep_connections ? nullptr : curl_easy_init()), curl(own ? own.get() : kept()) {
        if (curl == nullptr) {
            fail("curl_easy_init");
        }
        curl_easy_reset(curl);
    }
    CURL *get() const { return curl; }

    static CURL *kept() {
        static const scb::CurlHandle handle(curl_easy_init());
        return handle.get();
    }
};

size_t collect(char *data, size_t size, size_t count, void *sink) {
    static_cast<std::string *>(sink)->append(data, size * count);
    return size * count;
}

// One exchange on its own handle, with the transfer options the extension sets.
// post_body null: GET with the query built from the pairs.
std::string exchange(const std::string &url, const char *post_body, std::initializer_list<std::string> header_lines,
                     std::initializer_list<std::pair<const char *, std::string>> query = {}) {
    const long long cpu_started = now_ns(CLOCK_THREAD_CPUTIME_ID);
    std::string body;
    long status = 0;
    CURLcode result = CURLE_OK;
    {
        const RequestHandle handle;
        std::string target = url;
        char separator = '?';
        for (const auto &pair : query) {
            const scb::CurlText escaped(curl_easy_escape(handle.get(), pair.second.c_str(), 0));
            target += separator + std::string(pair.first) + "=" + escaped.get();
            separator = '&';
        }
        scb::CurlHeaderList headers;
        if (post_body != nullptr && !scb::append_header(headers, "Content-Type: application/json")) {
            fail("curl_slist_append");
        }
        for (const std::string &line : header_lines) {
            if (!scb::append_header(headers, line.c_str())) {
                fail("curl_slist_append");
            }
        }
        curl_easy_setopt(handle.get(), CURLOPT_URL, target.c_str());
        curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
        if (post_body != nullptr) {
            curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, post_body);
        }
        curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(handle.get(), CURLOPT_FOLLOWLOCATION, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
        curl_easy_setopt(handle.get(), CURLOPT_REDIR_PROTOCOLS_STR, "https");
#endif
        curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
        const std::string ca_file = env("CURL_CA_BUNDLE");
        curl_easy_setopt(handle.get(), CURLOPT_CAINFO, ca_file.c_str());
        result = curl_easy_perform(handle.get());
        curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
    }
    https_cpu_ns += now_ns(CLOCK_THREAD_CPUTIME_ID) - cpu_started;
    if (result != CURLE_OK) {
        fail(std::string("curl: ") + curl_easy_strerror(result));
    }
    if (status != 200 || body.find("\"code\":1000") == std::string::npos) {
        fail("bank answered " + std::to_string(status) + ": " + body.substr(0, 300));
    }
    return body;
}

// The string value of the first "key":"..." in a bank answer (no escapes occur in the values read here).
// A member the answer may lack reads as `missing`; without one, its absence ends the program.
std::string value_of(const std::string &json, const char *key, const char *missing = nullptr) {
    const std::string marker = std::string("\"") + key + "\":\"";
    const size_t start = json.find(marker);
    if (start == std::string::npos) {
        if (missing != nullptr) {
            return missing;
        }
        fail(std::string("no ") + key + " in " + json.substr(0, 300));
    }
    const size_t from = start + marker.size();
    return json.substr(from, json.find('"', from) - from);
}

struct BankAccount {
    std::string biller_id, api_key, api_secret, environment, config_id;
};

BankAccount bank_account(PGconn *conn, const char *bank_account_id) {
    const Rows row(conn, kConfigByBank, {bank_account_id}, PGRES_TUPLES_OK);
    if (row.count() == 0) {
        fail("no configuration for the bank account");
    }
    return {row.text(0), row.text(2), row.text(3), row.text(4), row.text(7)};
}

std::string create_qr(const BankAccount &account, const std::string &token, const std::string &ref1,
                      const char *ref2, const char *ref3, const std::string &amount) {
    const std::string body = "{\"qrType\":\"PP\",\"ppType\":\"BILLERID\",\"ppId\":\"" + account.biller_id +
                             "\",\"amount\":\"" + amount + "\",\"ref1\":\"" + ref1 + "\",\"ref2\":\"" + ref2 +
                             "\",\"ref3\":\"" + ref3 + "\"}";
    return exchange(base_url(account.environment) + "/payment/qrcode/create", body.c_str(),
                    {"Authorization: Bearer " + token, "resourceOwnerId: " + account.api_key,
                     "requestUId: " + request_id()});
}

// ---- operations -------------------------------------------------------------

void qr_by_bank(const char *bank_account_id, const std::string &ref1) {
    const Session session;
    const BankAccount account = bank_account(session.conn, bank_account_id);
    std::string token;
    {
        const Rows cached(session.conn, kTokenLookup, {account.config_id.c_str()}, PGRES_TUPLES_OK);
        if (cached.count() == 0 || std::strtod(cached.text(2).c_str(), nullptr) <= 300.0) {
            fail("the benchmark expects a cached token");
        }
        token = cached.text(0);
    }
    create_qr(account, token, ref1, "BENCH", "SCB", "100.25");
}

void invoice_new(int invoice_id, const char *config_id, const char *bank_account_id) {
    const Session session;
    const std::string invoice = std::to_string(invoice_id);
    {
        const Rows live(session.conn, kLiveIntent, {invoice.c_str(), "1"}, PGRES_TUPLES_OK);
        if (live.count() != 0) {
            fail("invoice already has an intent");
        }
    }
    const BankAccount account = bank_account(session.conn, bank_account_id);
    const std::string credentials =
        "{\"applicationKey\":\"" + account.api_key + "\",\"applicationSecret\":\"" + account.api_secret + "\"}";
    const std::string token_answer =
        exchange(base_url(account.environment) + "/oauth/token", credentials.c_str(),
                 {"resourceOwnerId: " + account.api_key, "requestUId: " + request_id()});
    const std::string reference = "INV" + invoice;
    const std::string qr =
        create_qr(account, value_of(token_answer, "accessToken"), reference, "INVOICE", "SCB", "250.50");
    const std::string payload = value_of(qr, "qrRawData");
    const std::string image = value_of(qr, "qrImage");
    // The bank's v1 answer has no transactionId; the module then stores an empty one.
    const std::string transaction = value_of(qr, "transactionId", "");
    {
        const Rows any(session.conn, kAnyIntent, {invoice.c_str(), "1"}, PGRES_TUPLES_OK);
    }
    const Rows inserted(session.conn, kInsertIntent,
                        {invoice.c_str(), "1", config_id, reference.c_str(), "250.50", "invoice", payload.c_str(),
                         image.c_str(), transaction.c_str()},
                        PGRES_TUPLES_OK);
}

void invoice_reused(const char *invoice_id) {
    const Session session;
    const Rows live(session.conn, kLiveIntent, {invoice_id, "1"}, PGRES_TUPLES_OK);
    if (live.count() == 0) {
        fail("no stored intent for the invoice");
    }
}

void inquiry(const char *config_id, const char *transaction_id, const char *date) {
    std::string api_key, environment, token;
    {
        const Session session;
        const Rows row(session.conn, kInquiryConfig, {config_id}, PGRES_TUPLES_OK);
        if (row.count() == 0 || std::strtod(row.text(5).c_str(), nullptr) <= 300.0) {
            fail("the benchmark expects a configuration with a cached token");
        }
        api_key = row.text(0);
        environment = row.text(2);
        token = row.text(3);
    }
    exchange(base_url(environment) + "/payment/billpayment/inquiry", nullptr,
             {"Authorization: Bearer " + token, "resourceOwnerId: " + api_key, "requestUId: " + request_id(),
              "Accept-Language: EN"},
             {{"eventCode", "00300104"}, {"partnerTransactionId", transaction_id}, {"transactionDate", date}});
}

}  // namespace

int main(int argc, char **argv) {
    keep_connections = argc == 2 && std::string(argv[1]) == "--kept";
    if (argc > 1 && !keep_connections) {
        fail("usage: floor [--kept]");
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fail("curl_global_init");
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::vector<std::string> call;
        for (std::string word; words >> word;) {
            call.push_back(word);
        }
        const std::string operation = call.empty() ? "" : call[0];
        https_cpu_ns = 0;
        const long preempted = preemptions();
        const long long wall = now_ns(CLOCK_MONOTONIC);
        const long long cpu = now_ns(CLOCK_THREAD_CPUTIME_ID);
        if (operation == "qr_by_bank" && call.size() == 3) {
            qr_by_bank(call[1].c_str(), call[2]);
        } else if (operation == "invoice_new" && call.size() == 4) {
            invoice_new(std::atoi(call[1].c_str()), call[2].c_str(), call[3].c_str());
        } else if (operation == "invoice_reused" && call.size() == 2) {
            invoice_reused(call[1].c_str());
        } else if (operation == "inquiry" && call.size() == 4) {
            inquiry(call[1].c_str(), call[2].c_str(), call[3].c_str());
        } else {
            fail("unknown call: " + line);
        }
        const long long cpu_used = now_ns(CLOCK_THREAD_CPUTIME_ID) - cpu;
        const long long wall_used = now_ns(CLOCK_MONOTONIC) - wall;
        std::printf("%lld %lld %lld %ld\n", wall_used, cpu_used, https_cpu_ns, preemptions() - preempted);
        std::fflush(stdout);
    }
    curl_global_cleanup();
    return 0;
}
