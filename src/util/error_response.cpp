#include "owners.hpp"
#include "scb.h"

extern "C" char *scb_create_error_response(int32_t code, const char *description) noexcept {
    scb::CJsonTree envelope(cJSON_CreateObject());
    if (!envelope) {
        scb_log_error("Failed to create JSON object for error response");
        return nullptr;
    }
    scb::CJsonTree status(cJSON_CreateObject());
    if (status) {
        cJSON_AddNumberToObject(status.get(), "code", static_cast<double>(code));
        cJSON_AddStringToObject(status.get(), "description",
                                description != nullptr ? description : "Unknown error");
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
