#include "payment_events.hpp"

#include <chrono>
#include <climits>

#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace scb {

namespace {

using Clock = std::chrono::steady_clock;

// What is left of the wait until `deadline`, for poll(); -1 without a deadline.
int remaining_ms(const std::optional<Clock::time_point> &deadline) {
    if (!deadline) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left < INT_MAX ? left : INT_MAX);
}

bool is_json_object(const char *text) {
    const CJsonTree parsed(cJSON_Parse(text));
    return cJSON_IsObject(parsed.get());
}

}  // namespace

std::optional<PaymentListener> PaymentListener::open() {
    Session session(connect_listening_session());
    if (!session) {
        return std::nullopt;
    }
    const PgResult listening = run_statement(session.get(), sql::kListenPayments, {});
    if (!command_ok(listening.get())) {
        scb_log_error(
            bounded_format(512, "Failed to listen for payment notifications: %s", PQerrorMessage(session.get())).c_str());
        return std::nullopt;
    }
    scb_log_info("Listening for payment notifications");
    return PaymentListener(std::move(session));
}

PaymentListener::Heard PaymentListener::next(int32_t timeout_ms, std::string &document) {
    std::optional<Clock::time_point> deadline;
    if (timeout_ms >= 0) {
        deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    }
    for (;;) {
        PgNotify notification;
        switch (next_notification(session_.get(), remaining_ms(deadline), notification)) {
            case NotificationWait::kArrived:
                break;
            case NotificationWait::kInterrupted:
                return kInterrupted;
            case NotificationWait::kLost:
                scb_log_error("Payment notification session lost");
                return kLost;
            case NotificationWait::kTimedOut:
                if (remaining_ms(deadline) == 0) {
                    return kTimedOut;
                }
                continue;
        }
        if (is_json_object(notification->extra)) {
            document = notification->extra;
            return kDocument;
        }
        scb_log_error("Payment notification that is not a JSON object passed over");
    }
}

}  // namespace scb
