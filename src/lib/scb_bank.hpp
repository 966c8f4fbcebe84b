// Where the bank's partner API lives. The hosts are read from the environment
// at every use so a test or a staging set-up can point them elsewhere.
#pragma once

#include <string>

namespace scb {

struct BankUrls {
    std::string token;
    std::string qr_create;
    std::string inquiry;
};

// Production URLs when environment is exactly "production", else sandbox.
BankUrls bank_urls(const char *environment);

bool is_production(const char *environment) noexcept;

}  // namespace scb
