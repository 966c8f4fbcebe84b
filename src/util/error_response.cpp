#include <string>

#include "owned.hpp"
#include "scb.h"
#include "text.hpp"

namespace {

// Descriptions often quote what a bank sent; the envelope itself must stay
// readable by callers that decode strictly, so broken UTF-8 is replaced.
bool add_description(cJSON *status, const char *description) noexcept {
    try {
        const std::string valid = scb::valid_utf8(description != nullptr ? description : "Unknown error");
        return cJSON_AddStringToObject(status, "description", valid.c_str()) != nullptr;
    } catch (...) {
        return false;
    }
}

}  // namespace

extern "C" char *scb_create_error_response(int32_t code, const char *description) noexcept {
    scb::CJsonTree envelope(cJSON_CreateObject());
    if (!envelope) {
        scb_log_error("Failed to create JSON object for error response");
        return nullptr;
    }
    scb::CJsonTree status(cJSON_CreateObject());
    if (status) {
        cJSON_AddNumberToObject(status.get(), "code", static_cast<double>(code));
        (void)add_description(status.get(), description);
    }
    scb::add_to_object(envelope.get(), "status", std::move(status));
    cJSON_AddNullToObject(envelope.get(), "data");
    const scb::CJsonText printed(cJSON_PrintUnformatted(envelope.get()));
    if (!printed) {
        scb_log_error("Failed to serialize error response JSON");
        return nullptr;
    }
    return scb_strdup(printed.get());
}
