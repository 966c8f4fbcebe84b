// The payment notifications the module sends on the channel scb_payment,
// heard on a database session of the listener's own: a session lent to the
// operations would carry the LISTEN to whatever runs on it next.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db.hpp"
#include "owned.hpp"

namespace scb {

class PaymentListener {
public:
    enum Heard { kDocument, kTimedOut, kInterrupted, kLost };

    // A session from the environment listening on scb_payment; nothing after
    // logging why when it cannot connect or listen.
    static std::optional<PaymentListener> open();

    // The next notification's document into `document`, waiting at most
    // timeout_ms (negative: without end). A payload that is not a JSON
    // object, which only another sender can make, is logged and passed over.
    Heard next(int32_t timeout_ms, std::string &document);

private:
    using Session = Owned<PGconn, close_database>;
    explicit PaymentListener(Session session) : session_(std::move(session)) {}
    Session session_;
};

}  // namespace scb
