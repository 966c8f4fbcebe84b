// The bank's token endpoint: an access token for an application's key and
// secret, asked for on every call (the token cache decides when to call).
#pragma once

#include <string>

#include "owned.hpp"

namespace scb {

// The token endpoint's answer after 200 (as it came), else envelope 9101 (no
// answer) or 9302 (another status); null only when no request identifier or
// no memory could be had.
ScbText request_token(const std::string &api_key, const std::string &api_secret, const std::string &token_url);

// The same for the credentials of an active stored configuration: envelope
// 9001 or 9002 when its database or its row cannot be read. Nothing is stored.
ScbText request_token_for_config(const char *config_id);

}  // namespace scb
