// Every statement the library sends to the ERP database, in one place, so the
// benchmark floor and the peer client can send exactly the same texts.
#pragma once

namespace scb::sql {

// Session set-up, sent only when the server reports a zone other than UTC.
inline constexpr const char *kSessionInUtc = "SET TimeZone TO 'UTC'";

// Bank-account configuration: $1 bank account id.
inline constexpr const char *kConfigByBank =
    "SELECT   b.scb_biller_id,   b.company_id,   c.api_key,   c.api_secret,   c.environment,   "
    "c.application_id,   b.id AS bank_id,   c.id AS config_id,   c.name AS config_name FROM "
    "res_partner_bank b INNER JOIN scb_api_config c ON c.id = b.scb_api_config_id WHERE b.id = $1 "
    "AND b.use_scb_qr = true AND c.active = true LIMIT 1";

// Credentials of an active configuration: $1 configuration id.
inline constexpr const char *kConfigById =
    "SELECT api_key, api_secret, environment FROM scb_api_config WHERE id = $1 AND active = true LIMIT 1";

// Token cache: $1 configuration id; the expiry read in UTC.
inline constexpr const char *kTokenLookup =
    "SELECT access_token, token_expires_at AT TIME ZONE 'UTC' AS expires_utc, EXTRACT(EPOCH FROM "
    "(token_expires_at AT TIME ZONE 'UTC' - NOW() AT TIME ZONE 'UTC')) AS seconds_until_expiry FROM "
    "scb_api_config WHERE id = $1";

// $1 token, $2 lifetime in seconds, $3 configuration id.
inline constexpr const char *kTokenStore =
    "UPDATE scb_api_config SET access_token = $1, token_expires_at = NOW() AT TIME ZONE 'UTC' + ($2 || "
    "' seconds')::INTERVAL WHERE id = $3";

// Only the token that was rejected ($2): another caller may have stored a fresh one meanwhile.
inline constexpr const char *kTokenInvalidate =
    "UPDATE scb_api_config SET access_token = NULL, token_expires_at = NULL WHERE id = $1 AND access_token = $2";

// Single-flight renewal: one caller at a time renews a configuration's token,
// under a transaction-scoped advisory lock in the module's own namespace
// (1397965396, "SCBT") keyed by the configuration id ($1), waiting a little
// longer than the bank's 30-second request limit.
inline constexpr const char *kBegin = "BEGIN";
inline constexpr const char *kCommit = "COMMIT";
inline constexpr const char *kRollback = "ROLLBACK";
inline constexpr const char *kRenewalLockTimeout = "SET LOCAL lock_timeout = '35s'";
inline constexpr const char *kRenewalLock = "SELECT pg_advisory_xact_lock(1397965396, $1)";

// Inquiry: credentials, environment and cached token of an active configuration ($1).
inline constexpr const char *kInquiryConfig =
    "SELECT api_key, api_secret, environment, access_token, token_expires_at AT TIME ZONE 'UTC' AS "
    "expires_utc, EXTRACT(EPOCH FROM (token_expires_at AT TIME ZONE 'UTC' - NOW() AT TIME ZONE 'UTC')) AS "
    "seconds_until_expiry FROM scb_api_config WHERE id = $1 AND active = true";
inline constexpr const char *kInquiryRetryConfig =
    "SELECT api_key, api_secret FROM scb_api_config WHERE id = $1 AND active = true";

// Intent store: $1 invoice id, $2 company id.
inline constexpr const char *kLiveIntent =
    "SELECT id, reference, qr_payload, qr_image_base64, transaction_id, amount, status, channel FROM "
    "scb_payment_intent WHERE invoice_id = $1 AND company_id = $2 AND status NOT IN ('expired', 'cancelled', "
    "'failed') ORDER BY id DESC LIMIT 1";
// A cancelled row keeps the QR it was cancelled with, for a payment that still comes for it.
inline constexpr const char *kAnyIntent =
    "SELECT id FROM scb_payment_intent WHERE invoice_id = $1 AND company_id = $2 AND status IS DISTINCT FROM "
    "'cancelled'";
inline constexpr const char *kUpdateIntent =
    "UPDATE scb_payment_intent SET qr_payload = $1, qr_image_base64 = $2, transaction_id = $3, amount = $4, "
    "write_date = NOW() WHERE id = $5";
inline constexpr const char *kInsertIntent =
    "INSERT INTO scb_payment_intent (invoice_id, company_id, scb_api_config_id, reference, amount,  channel, "
    "qr_payload, qr_image_base64, transaction_id,  status, created_at, create_date, write_date) VALUES ($1, $2, "
    "$3, $4, $5, $6, $7, $8, $9, 'pending',         (NOW() AT TIME ZONE 'UTC'), (NOW() AT TIME ZONE 'UTC'), "
    "(NOW() AT TIME ZONE 'UTC')) RETURNING id";
inline constexpr const char *kConfirmIntent =
    "UPDATE scb_payment_intent SET status = 'confirmed', write_date = NOW() WHERE id = $1";

// Payment confirmation: the newest live intent whose configuration belongs to
// a QR-enabled bank account with the biller id ($1) and whose reference is $2.
inline constexpr const char *kMatchIntent =
    "SELECT i.id, i.invoice_id, i.company_id, i.amount, i.status, i.transaction_id, i.scb_api_config_id, i.reference "
    "FROM scb_payment_intent i WHERE i.reference = $2 AND i.status NOT IN ('expired', 'cancelled', 'failed') AND "
    "EXISTS (SELECT 1 FROM res_partner_bank b WHERE b.scb_api_config_id = i.scb_api_config_id AND b.use_scb_qr = true "
    "AND b.scb_biller_id = $1) ORDER BY i.id DESC LIMIT 1";

// A cancelled intent of the invoice ($1 invoice id, $2 company id) with the
// reference ($3) that asked for exactly the amount ($4) a payment brought.
inline constexpr const char *kCancelledIntentOfAmount =
    "SELECT id FROM scb_payment_intent WHERE invoice_id = $1 AND company_id = $2 AND reference = $3 AND status = "
    "'cancelled' AND amount = $4::numeric LIMIT 1";

// Confirms a pending intent ($1) with the payment's transaction id ($2), once.
inline constexpr const char *kConfirmPendingIntent =
    "UPDATE scb_payment_intent SET status = 'confirmed', transaction_id = $2, write_date = NOW() WHERE id = $1 AND "
    "status = 'pending' RETURNING id";
inline constexpr const char *kIntentState = "SELECT status, transaction_id FROM scb_payment_intent WHERE id = $1";

// Reconciliation: the configuration's ($1) pending intents created within the
// last $2 days in Thailand's time (UTC+07:00), today included. The window is a
// range on the stored UTC column, from the start of the first Thai day as a UTC
// timestamp, so an index on (scb_api_config_id, created_at) serves it.
inline constexpr const char *kPendingIntents =
    "SELECT id FROM scb_payment_intent WHERE scb_api_config_id = $1 AND status = 'pending' AND "
    "created_at >= (((NOW() AT TIME ZONE 'UTC') + interval '7 hours')::date - ($2::integer - 1)) - "
    "interval '7 hours' ORDER BY id";

// One pending intent ($1) claimed for its check, unless another reconciler holds it.
inline constexpr const char *kClaimIntent =
    "SELECT i.id, i.invoice_id, i.company_id, i.amount, i.status, i.transaction_id, i.scb_api_config_id, i.reference, "
    "to_char(i.created_at + interval '7 hours', 'YYYY-MM-DD'), "
    "to_char((NOW() AT TIME ZONE 'UTC') + interval '7 hours', 'YYYY-MM-DD') FROM scb_payment_intent i "
    "WHERE i.id = $1 AND i.status = 'pending' FOR UPDATE SKIP LOCKED";

// The biller ids of the configuration's ($1) QR-enabled bank accounts.
inline constexpr const char *kConfigBillerIds =
    "SELECT DISTINCT scb_biller_id FROM res_partner_bank WHERE scb_api_config_id = $1 AND use_scb_qr = true AND "
    "scb_biller_id <> '' ORDER BY scb_biller_id";

// Database check: reads the catalog only. Names resolve through the session's
// search_path, as the module's own statements do.

// The server's time zone as a session starts with it (before any SET), and the role, also quoted.
inline constexpr const char *kCheckSession =
    "SELECT reset_val, current_user, quote_ident(current_user) FROM pg_settings WHERE name = 'TimeZone'";

// The columns of table $1 with their types: no row when there is no such table, one
// row of nulls for a table without columns.
inline constexpr const char *kCheckColumns =
    "SELECT a.attname, format_type(a.atttypid, NULL) FROM (SELECT to_regclass($1) AS relation) r LEFT JOIN "
    "pg_attribute a ON a.attrelid = r.relation AND a.attnum > 0 AND NOT a.attisdropped WHERE r.relation IS NOT "
    "NULL ORDER BY a.attnum";

// The key columns of table $1's valid B-tree indexes, in key order ('' for an
// expression), one row per column, with each index's predicate ('' for none).
inline constexpr const char *kCheckIndexes =
    "SELECT i.indexrelid, COALESCE(a.attname, ''), COALESCE(pg_get_expr(i.indpred, i.indrelid), '') FROM pg_index "
    "i JOIN pg_class c ON c.oid = i.indexrelid JOIN pg_am m ON m.oid = c.relam CROSS JOIN LATERAL "
    "unnest(i.indkey) WITH ORDINALITY AS k(attnum, position) LEFT JOIN pg_attribute a ON a.attrelid = i.indrelid "
    "AND a.attnum = k.attnum WHERE i.indrelid = to_regclass($1) AND i.indisvalid AND m.amname = 'btree' AND "
    "k.position <= i.indnkeyatts ORDER BY i.indexrelid, k.position";

// Of the comma-separated columns $2 of table $1, those that exist and on which
// the role lacks privilege $3, in the order given.
inline constexpr const char *kCheckColumnPrivileges =
    "SELECT u.name FROM unnest(string_to_array($2, ',')) WITH ORDINALITY AS u(name, position) WHERE CASE WHEN "
    "EXISTS (SELECT 1 FROM pg_attribute a WHERE a.attrelid = to_regclass($1) AND a.attname = u.name AND NOT "
    "a.attisdropped) THEN NOT has_column_privilege(to_regclass($1), u.name, $3) ELSE false END ORDER BY "
    "u.position";

// The sequence behind table $1's id default when the role may not use it (an
// identity column needs no privilege on its sequence).
inline constexpr const char *kCheckIdSequence =
    "SELECT s.name FROM pg_get_serial_sequence($1, 'id') AS s(name) WHERE s.name IS NOT NULL AND NOT "
    "has_sequence_privilege(s.name, 'USAGE') AND NOT EXISTS (SELECT 1 FROM pg_attribute a WHERE a.attrelid = "
    "to_regclass($1) AND a.attname = 'id' AND a.attidentity <> '')";

// Payment notifications: the outcome document ($1) on the channel the ERP listens to.
inline constexpr const char *kNotifyPayment = "SELECT pg_notify('scb_payment', $1)";
inline constexpr const char *kListenPayments = "LISTEN scb_payment";

// Cancelling an invoice's QR ($1 invoice id, $2 company id): its pending
// intents, and the confirmed ones, which stay as they are.
inline constexpr const char *kCancelPendingIntents =
    "WITH cancelled AS (UPDATE scb_payment_intent SET status = 'cancelled', write_date = NOW() WHERE invoice_id = $1 "
    "AND company_id = $2 AND status = 'pending' RETURNING id) SELECT id FROM cancelled ORDER BY id";
inline constexpr const char *kConfirmedIntents =
    "SELECT id FROM scb_payment_intent WHERE invoice_id = $1 AND company_id = $2 AND status = 'confirmed' ORDER BY id";

}  // namespace scb::sql
