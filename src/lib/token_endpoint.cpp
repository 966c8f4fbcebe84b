#include "token_endpoint.hpp"

#include "bank.hpp"
#include "db.hpp"
#include "erp_session.hpp"
#include "http.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace scb {

ScbText request_token(const std::string &api_key, const std::string &api_secret, const std::string &token_url) {
    const std::optional<std::string> request_id = new_request_id();
    if (!request_id) {
        return nullptr;
    }
    const HeaderLines headers = {bounded_format(512, "resourceOwnerId: %s", api_key.c_str()),
                                 bounded_format(512, "requestUId: %s", request_id->c_str())};
    const std::string body =
        json_object_of_strings({{"applicationKey", api_key.c_str()}, {"applicationSecret", api_secret.c_str()}});
    const std::string masked_body = mask_json_values(body, {"applicationSecret"});
    scb_log_debug(bounded_format(2048, "[SCB API] Token refresh - URL: %s, Body: %s", token_url.c_str(),
                                 masked_body.c_str())
                      .c_str());
    const std::optional<HttpReply> reply = post_json(token_url, body, headers);
    if (!reply) {
        scb_log_error("Failed to get response from token endpoint");
        return ScbText(scb_create_error_response(9101, "Network error: Failed to connect to SCB token endpoint."));
    }
    if (reply->status == 200) {
        ScbText copy(scb_strdup(reply->body.c_str()));
        if (copy) {
            scb_log_info("Token refresh successful");
        }
        return copy;
    }
    const std::string message = bounded_format(
        256, "Token refresh failed with HTTP status %ld. Check API credentials.", reply->status);
    scb_log_error(message.c_str());
    return ScbText(scb_create_error_response(9302, message.c_str()));
}

ScbText request_token_for_config(const char *config_id) {
    Outcome<DbSession> session = open_erp_session();
    if (!session) {
        return session.failure();
    }
    const PgResult result = run_statement(session->get(), sql::kConfigById, {config_id});
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK || PQntuples(result.get()) == 0) {
        const std::string message =
            PQresultStatus(result.get()) != PGRES_TUPLES_OK
                ? bounded_format(512, "Config query failed: %s", PQerrorMessage(session->get()))
                : bounded_format(256, "No active SCB config found with ID: %s", or_empty(config_id));
        scb_log_error(message.c_str());
        return ScbText(scb_create_error_response(9002, message.c_str()));
    }
    const char *environment = first_row_text(result.get(), 2);
    const BankUrls urls = bank_urls(environment);
    scb_log_info(bounded_format(512, "Refreshing token for config ID=%s, Environment=%s", or_empty(config_id),
                                environment)
                     .c_str());
    return request_token(first_row_text(result.get(), 0), first_row_text(result.get(), 1), urls.token);
}

}  // namespace scb
