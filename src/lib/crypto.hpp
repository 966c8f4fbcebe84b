// Crypto adapter over libcrypto: request identifiers and HMAC digests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace scb {

// A new random (version 4) UUID in lower-case 8-4-4-4-12 form; nothing after
// logging "Failed to generate random bytes for UUID".
std::optional<std::string> new_uuid();

// HMAC-SHA-256 of message under key as 64 lower-case hex digits; nothing
// after logging "Failed to compute HMAC".
std::optional<std::string> hmac_sha256(std::string_view key, std::string_view message);

}  // namespace scb
