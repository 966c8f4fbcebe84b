// Pieces of the bank operations shared between their source files.
#pragma once

#include <cstddef>

#include "owners.hpp"
#include "scb.h"

namespace scb {

// The response document for one finished bank exchange: the body after 200;
// after another status the bank's own failure document when the body holds
// "status", else envelope 9103 "<label> failed with status ...". The failure
// is logged either way.
char *bank_answer(HttpResponse response, const char *label, const char *success_line);

inline constexpr const char *kDatabaseConnectFailed =
    "Failed to connect to database. Check credentials and network connectivity.";
inline constexpr const char *kConnectFailedLog = "Failed to connect to PostgreSQL - check database credentials and network";

// Envelope 9002 for a database that cannot be reached, after its error line.
inline char *database_unreachable(const char *log_line) noexcept {
    scb_log_error(log_line);
    return scb_create_error_response(9002, kDatabaseConnectFailed);
}

// A new request identifier, or null after logging why.
ScbText new_request_id();

// Internal failures surface as the null result the callers turn into
// RuntimeError; nothing may unwind through the C interface.
template <typename Result, typename Operation>
Result guarded(Result on_failure, Operation operation) noexcept {
    try {
        return operation();
    } catch (...) {
        scb_log_error("Out of memory");
        return on_failure;
    }
}

}  // namespace scb
