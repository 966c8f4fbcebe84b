// A read-only check of an ERP database: the tables and columns the module's
// statements use, the indexes that keep them from reading whole tables, the
// privileges they need, and the server's time zone.
#pragma once

#include "owned.hpp"

namespace scb {

// {"status": {"code": 1000, ...}, "data": {"ok", "role", "server_time_zone",
// "server_time_zone_is_utc", "problems": [{"kind", "table", "name",
// "description", "mend"}, ...]}}; envelope 9001 or 9002 when the database
// cannot be reached or its catalog read. Nothing is changed.
ScbText check_database();

}  // namespace scb
