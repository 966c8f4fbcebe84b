// Catching the payments whose confirmation never arrived: every pending
// intent of a configuration is checked with the bank's inquiry and confirmed
// as a confirmation would, each claimed by one reconciler at a time.
#pragma once

#include "owned.hpp"

namespace scb {

// Checks the configuration's pending intents created within the last `days`
// days in Thailand's time (today included), in id order, on one session and
// one token: {"status": {"code": 1000, ...}, "data": [one document per intent
// checked]}. An intent another reconciler holds is left to it; a failure on
// one intent is its outcome "error" with the failure's envelope, and the run
// goes on. A run that cannot start answers the envelope of why. With a
// `max_rate` above 0, the run's inquiries (each attempt) start at most that
// many a second, for a bank that limits them; 0 sends them as they come.
ScbText reconcile_intents(const char *config_id, int days, int max_rate);

}  // namespace scb
