// Owners of every C resource the library touches. Each raw pointer enters its
// owner in the statement that creates it, so early returns cannot leak.
#pragma once

#include <memory>

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <libpq-fe.h>

#include "scb.h"

namespace scb {

struct PgResultRelease {
    void operator()(PGresult *result) const noexcept { PQclear(result); }
};
using PgResult = std::unique_ptr<PGresult, PgResultRelease>;

// A handle that never became a session: released without the close line.
struct PgConnRelease {
    void operator()(PGconn *conn) const noexcept { PQfinish(conn); }
};
using PgConnHandle = std::unique_ptr<PGconn, PgConnRelease>;

// An operation's session from scb_db_acquire: kept for the next operation
// or closed (the close is logged).
struct DbSessionRelease {
    void operator()(PGconn *conn) const noexcept { scb_db_release(conn); }
};
using DbSession = std::unique_ptr<PGconn, DbSessionRelease>;

struct CurlRelease {
    void operator()(CURL *handle) const noexcept { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlRelease>;

struct CurlShareRelease {
    void operator()(CURLSH *share) const noexcept { curl_share_cleanup(share); }
};
using CurlShare = std::unique_ptr<CURLSH, CurlShareRelease>;

struct CurlListRelease {
    void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};
using CurlHeaderList = std::unique_ptr<curl_slist, CurlListRelease>;

struct CurlTextRelease {
    void operator()(char *text) const noexcept { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlTextRelease>;

struct CJsonRelease {
    void operator()(cJSON *tree) const noexcept { cJSON_Delete(tree); }
};
using CJsonTree = std::unique_ptr<cJSON, CJsonRelease>;

struct CJsonTextRelease {
    void operator()(char *text) const noexcept { cJSON_free(text); }
};
using CJsonText = std::unique_ptr<char, CJsonTextRelease>;

struct ScbTextRelease {
    void operator()(char *text) const noexcept { scb_free(text); }
};
using ScbText = std::unique_ptr<char, ScbTextRelease>;

struct HttpResponseRelease {
    void operator()(http_response *response) const noexcept { http_response_free(response); }
};
using HttpResponse = std::unique_ptr<http_response, HttpResponseRelease>;

// curl_slist_append hands back a new head, or null while the old list stays
// valid; keeping both in one place keeps the list owned on either outcome.
inline bool append_header(CurlHeaderList &list, const char *line) noexcept {
    curl_slist *head = curl_slist_append(list.get(), line);
    if (head == nullptr) {
        return false;
    }
    (void)list.release();
    list.reset(head);
    return true;
}

// Adds a member the tree now owns; on failure the item is released here.
inline bool add_to_object(cJSON *object, const char *name, CJsonTree item) noexcept {
    if (!item || !cJSON_AddItemToObject(object, name, item.get())) {
        return false;
    }
    (void)item.release();
    return true;
}

}  // namespace scb
