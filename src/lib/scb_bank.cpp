#include "scb_bank.hpp"

#include <cstdlib>
#include <cstring>

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
    return BankUrls{base + "/oauth/token", base + "/payment/qrcode/create",
                    base + "/payment/billpayment/inquiry"};
}

}  // namespace scb
