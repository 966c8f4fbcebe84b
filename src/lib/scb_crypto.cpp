#include <cstdio>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "scb.h"

extern "C" {

char *scb_generate_uuid(void) noexcept {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        scb_log_error("Failed to generate random bytes for UUID");
        return nullptr;
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0FU) | 0x40U);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3FU) | 0x80U);  // RFC 4122 variant
    char *text = static_cast<char *>(scb_malloc(37));
    if (text == nullptr) {
        scb_log_error("Failed to allocate memory for UUID");
        return nullptr;
    }
    std::snprintf(text, 37,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                  bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                  bytes[15]);
    return text;
}

char *scb_hmac_sha256(const char *key, const char *message) noexcept {
    if (key == nullptr || message == nullptr) {
        return nullptr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (HMAC(EVP_sha256(), key, static_cast<int>(std::strlen(key)),
             reinterpret_cast<const unsigned char *>(message), std::strlen(message), digest,
             &digest_length) == nullptr) {
        scb_log_error("Failed to compute HMAC");
        return nullptr;
    }
    char *text = static_cast<char *>(scb_malloc(2 * digest_length + 1));
    if (text == nullptr) {
        scb_log_error("Failed to allocate memory for HMAC");
        return nullptr;
    }
    for (unsigned int i = 0; i < digest_length; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    }
    text[2 * digest_length] = '\0';
    return text;
}

}  // extern "C"
