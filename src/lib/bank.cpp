#include "bank.hpp"

#include <cstdlib>
#include <cstring>

#include "crypto.hpp"
#include "scb.h"
#include "text.hpp"

namespace scb {

namespace {

struct HostSetting {
    const char *variable;
    const char *default_host;
    const char *path_prefix;
};

const HostSetting kProduction = {"SCB_PRODUCTION_HOST", "api.partners.scb", "/partners/v1"};
const HostSetting kSandbox = {"SCB_SANDBOX_HOST", "api-sandbox.partners.scb", "/partners/sandbox/v1"};

// An empty value counts as unset.
std::string base_url(const HostSetting &setting) {
    const char *host = std::getenv(setting.variable);
    if (host == nullptr || host[0] == '\0') {
        host = setting.default_host;
    }
    return std::string("https://") + host + setting.path_prefix;
}

}  // namespace

bool is_production(const char *environment) noexcept {
    return environment != nullptr && std::strcmp(environment, "production") == 0;
}

BankUrls bank_urls(const char *environment) {
    const std::string base = base_url(is_production(environment) ? kProduction : kSandbox);
    return BankUrls{base + "/oauth/token", base + "/payment/qrcode/create", base + "/payment/billpayment/inquiry"};
}

std::optional<std::string> new_request_id() {
    std::optional<std::string> request_id = new_uuid();
    if (!request_id) {
        scb_log_error("Failed to generate request UUID");
    }
    return request_id;
}

ScbText bank_answer(const HttpReply &reply, const char *label, const char *success_line) {
    const char *body = reply.body.c_str();
    if (reply.status == 200) {
        ScbText copy(scb_strdup(body));
        if (copy) {
            scb_log_info(success_line);
        }
        return copy;
    }
    const std::string message = bank_failure_description(label, reply.status, body);
    scb_log_error(message.c_str());
    if (std::strstr(body, "\"status\"") != nullptr) {
        return ScbText(scb_strdup(body));
    }
    return ScbText(scb_create_error_response(9103, message.c_str()));
}

std::string bank_failure_description(const char *label, long status, const char *body) {
    return bounded_format(512, "%s failed with status %ld. Response: %s", label, status,
                          utf8_prefix(body, 300).c_str());
}

}  // namespace scb
