/* Public C interface of the halvenor SCB library: bank operations, intents,
 * database access, HTTP transport and foundation helpers. Every text returned
 * by a function here is heap-allocated and released by the caller with scb_free. */
#ifndef HALVENOR_SCB_H
#define HALVENOR_SCB_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define SCB_EXPORT __attribute__((visibility("default")))
#else
#define SCB_EXPORT
#endif

#ifdef __cplusplus
#define SCB_NOEXCEPT noexcept
extern "C" {
#else
#define SCB_NOEXCEPT
#endif

typedef struct pg_conn PGconn;

/* One completed HTTP exchange; body is never null and always NUL-terminated. */
typedef struct http_response {
    char *body;
    int64_t status_code;
    uint64_t body_size;
} http_response;

/* Memory (released with scb_free) */
SCB_EXPORT void *scb_malloc(size_t size) SCB_NOEXCEPT;                 /* malloc; null when memory runs out */
SCB_EXPORT void scb_free(void *ptr) SCB_NOEXCEPT;                       /* free; ignores null */
SCB_EXPORT char *scb_strdup(const char *text) SCB_NOEXCEPT;             /* heap copy; null for null or no memory */

/* Logging to standard error */
SCB_EXPORT int scb_log_info(const char *message) SCB_NOEXCEPT;          /* writes one INFO line */
SCB_EXPORT int scb_log_error(const char *message) SCB_NOEXCEPT;         /* writes one ERROR line */
SCB_EXPORT int scb_log_debug(const char *message) SCB_NOEXCEPT;         /* writes one DEBUG line when SCB_DEBUG/DEBUG_SCB is on */

/* Error envelope */
SCB_EXPORT char *scb_create_error_response(int32_t code, const char *description) SCB_NOEXCEPT; /* {"status":{code,description},"data":null} */

/* Request identifiers and HMAC */
SCB_EXPORT char *scb_generate_uuid(void) SCB_NOEXCEPT;                  /* new random v4 UUID text, or null */
SCB_EXPORT char *scb_hmac_sha256(const char *key, const char *message) SCB_NOEXCEPT; /* 64 lowercase hex digits, or null */

/* HTTP transport */
SCB_EXPORT http_response *http_post_json(const char *url, const char *body, const char *const *headers, int32_t header_count) SCB_NOEXCEPT; /* JSON POST; null when no exchange completed */
SCB_EXPORT http_response *http_get_with_params(const char *url, const char *const *keys, const char *const *values, int32_t param_count, const char *const *headers, int32_t header_count) SCB_NOEXCEPT; /* GET with URL-encoded query; null on failure */
SCB_EXPORT http_response *http_get(const char *url, const char *const *headers, int32_t header_count) SCB_NOEXCEPT; /* plain GET; null on failure */
SCB_EXPORT void http_response_free(http_response *response) SCB_NOEXCEPT; /* releases a response; ignores null */

/* Database */
SCB_EXPORT PGconn *scb_db_connect(const char *conninfo) SCB_NOEXCEPT;  /* connection from conninfo or the PG* environment; null on failure */
SCB_EXPORT void scb_db_close(PGconn *conn) SCB_NOEXCEPT;                /* closes a connection; ignores null */
SCB_EXPORT PGconn *scb_db_acquire(void) SCB_NOEXCEPT;                   /* an operation's session from the PG* environment: kept when SCB_REUSE_CONNECTIONS is on; null on failure */
SCB_EXPORT void scb_db_release(PGconn *conn) SCB_NOEXCEPT;              /* ends a scb_db_acquire session (never scb_db_close it): kept for reuse or closed; ignores null */
SCB_EXPORT void scb_close_connections(void) SCB_NOEXCEPT;               /* closes the database and bank connections this process keeps */
SCB_EXPORT char *scb_db_get_config_by_bank(PGconn *conn, const char *bank_account_id) SCB_NOEXCEPT; /* configuration document of a bank account, or null */
SCB_EXPORT char *scb_db_get_config(PGconn *conn) SCB_NOEXCEPT;          /* legacy entry point; always null */

/* Bank operations */
SCB_EXPORT char *scb_create_qr_impl(const char *config_id, const char *reference, const char *channel, double amount) SCB_NOEXCEPT; /* placeholder text: not implemented */
SCB_EXPORT char *scb_check_payment_impl(const char *reference) SCB_NOEXCEPT; /* placeholder text: status pending */
SCB_EXPORT char *scb_refresh_token(const char *api_key, const char *api_secret, const char *token_url) SCB_NOEXCEPT; /* token endpoint answer or envelope */
SCB_EXPORT char *scb_refresh_token_by_config_id(const char *config_id) SCB_NOEXCEPT; /* token answer for a stored configuration */
SCB_EXPORT char *scb_create_qr_full(const char *api_key, const char *access_token, const char *qr_create_url, const char *biller_id, const char *ref1, const char *ref2, const char *ref3, double amount) SCB_NOEXCEPT; /* QR with explicit credentials */
SCB_EXPORT char *scb_create_qr_by_bank_account(const char *bank_account_id, const char *ref1, const char *ref2, const char *ref3, double amount) SCB_NOEXCEPT; /* QR for a bank account with cached token */
SCB_EXPORT char *scb_payment_inquiry(const char *config_id, const char *transaction_ref, const char *biller_id, const char *reference1, const char *reference2, const char *amount, const char *transaction_date) SCB_NOEXCEPT; /* bill-payment inquiry */

/* Payment intents */
SCB_EXPORT char *scb_intent_get_by_invoice(PGconn *conn, int32_t invoice_id, int32_t company_id) SCB_NOEXCEPT; /* newest live intent document, or null */
SCB_EXPORT int32_t scb_intent_upsert(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id, const char *reference, const char *channel, const char *qr_payload, const char *qr_image_base64, double amount, const char *transaction_id) SCB_NOEXCEPT; /* row id written, or -1 */
SCB_EXPORT int32_t scb_intent_confirm(PGconn *conn, int32_t intent_id) SCB_NOEXCEPT; /* 0 when marked confirmed, -1 on failure */
SCB_EXPORT char *scb_confirm_payment(const char *record_json) SCB_NOEXCEPT; /* the bank's payment confirmation record, verified and settled: the check's document or an envelope */
SCB_EXPORT char *scb_reconcile_intents(int config_id, int days) SCB_NOEXCEPT; /* pending intents of the last days checked with the bank and settled */
SCB_EXPORT char *scb_reconcile_intents_paced(int config_id, int days, int max_rate) SCB_NOEXCEPT; /* the same, its inquiries started at most max_rate a second (0: unpaced) */
SCB_EXPORT char *scb_create_qr_for_invoice(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id, const char *reference, const char *bank_account_id, double amount) SCB_NOEXCEPT; /* stored or new invoice QR, ref3 "SCB" */
SCB_EXPORT char *scb_create_qr_for_invoice_with_ref3(PGconn *conn, int32_t invoice_id, int32_t company_id, int32_t config_id, const char *reference, const char *bank_account_id, double amount, const char *ref3) SCB_NOEXCEPT; /* the same with the QR's ref3 (the merchant's registered Reference-3 prefix) */
SCB_EXPORT char *scb_check_database(void) SCB_NOEXCEPT; /* read-only check of the PG* database's tables, columns, indexes and privileges for the module: the check's document or an envelope */
SCB_EXPORT char *scb_cancel_invoice_qr(int32_t invoice_id, int32_t company_id) SCB_NOEXCEPT; /* the invoice's pending intents cancelled: {"status", "data": {"cancelled": [ids], "confirmed": [ids]}} or an envelope */

/* Payment notifications: the outcome documents sent on the channel scb_payment, heard on a session of the
 * listener's own from the PG* environment (not through a transaction-pooling PgBouncer). One thread at a time. */
typedef struct scb_payment_listener scb_payment_listener;
SCB_EXPORT scb_payment_listener *scb_payment_listener_open(void) SCB_NOEXCEPT; /* listening from now on; null when it cannot connect or listen */
SCB_EXPORT int32_t scb_payment_listener_next(scb_payment_listener *listener, int32_t timeout_ms, char **document) SCB_NOEXCEPT; /* 1: *document set (release with scb_free); 0: none within timeout_ms (negative: no limit); 2: a signal cut the wait short; -1: session lost or no listener */
SCB_EXPORT void scb_payment_listener_close(scb_payment_listener *listener) SCB_NOEXCEPT; /* closes its session and releases it; ignores null */

#ifdef __cplusplus
}
#endif

#endif
