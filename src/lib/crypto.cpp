#include "crypto.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "scb.h"
#include "text.hpp"

namespace scb {

std::optional<std::string> new_uuid() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        scb_log_error("Failed to generate random bytes for UUID");
        return std::nullopt;
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0FU) | 0x40U);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3FU) | 0x80U);  // RFC 4122 variant
    return bounded_format(37, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                          bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
                          bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
}

std::optional<std::string> hmac_sha256(std::string_view key, std::string_view message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char *>(message.data()), message.size(), digest,
             &digest_length) == nullptr) {
        scb_log_error("Failed to compute HMAC");
        return std::nullopt;
    }
    std::string hex;
    for (unsigned int i = 0; i < digest_length; ++i) {
        hex += bounded_format(3, "%02x", digest[i]);
    }
    return hex;
}

}  // namespace scb
