#include "database_check.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db.hpp"
#include "erp_session.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace scb {

namespace {

// The types a column may have; the first is the one a mend statement gives it.
struct ColumnType {
    const char *expected;
    const char *also;
};

const ColumnType kId{"integer", "bigint"};
const ColumnType kText{"character varying", "text"};
const ColumnType kFlag{"boolean", nullptr};
const ColumnType kAmount{"numeric", nullptr};
// Naive UTC: the module writes NOW() AT TIME ZONE 'UTC' and compares with it.
const ColumnType kUtcTime{"timestamp without time zone", nullptr};

// What the statements of sql.hpp do with a column.
enum Use : unsigned { kRead = 1U, kInserted = 2U, kUpdated = 4U };

struct ColumnUse {
    const char *name;
    const ColumnType &type;
    unsigned uses;
};

struct TableUse {
    const char *name;
    std::vector<ColumnUse> columns;
};

const std::vector<TableUse> &tables_used() {
    static const std::vector<TableUse> tables = {
        {"scb_api_config",
         {{"id", kId, kRead}, {"name", kText, kRead}, {"api_key", kText, kRead}, {"api_secret", kText, kRead},
          {"environment", kText, kRead}, {"application_id", kText, kRead}, {"active", kFlag, kRead},
          {"access_token", kText, kRead | kUpdated}, {"token_expires_at", kUtcTime, kRead | kUpdated}}},
        {"res_partner_bank",
         {{"id", kId, kRead}, {"company_id", kId, kRead}, {"scb_biller_id", kText, kRead},
          {"scb_api_config_id", kId, kRead}, {"use_scb_qr", kFlag, kRead}}},
        {"scb_payment_intent",
         {{"id", kId, kRead}, {"invoice_id", kId, kRead | kInserted}, {"company_id", kId, kRead | kInserted},
          {"scb_api_config_id", kId, kRead | kInserted}, {"reference", kText, kRead | kInserted},
          {"amount", kAmount, kRead | kInserted | kUpdated}, {"channel", kText, kRead | kInserted},
          {"qr_payload", kText, kRead | kInserted | kUpdated}, {"qr_image_base64", kText, kRead | kInserted | kUpdated},
          {"transaction_id", kText, kRead | kInserted | kUpdated}, {"status", kText, kRead | kInserted | kUpdated},
          {"created_at", kUtcTime, kRead | kInserted}, {"create_date", kUtcTime, kInserted},
          {"write_date", kUtcTime, kInserted | kUpdated}}},
    };
    return tables;
}

// An index a statement needs: equality columns first, in any order, then the
// column it reads a range of; the pending one may be partial on the status.
struct IndexAdvice {
    const char *name;
    const char *table;
    std::vector<std::string> equal;
    const char *range;
    bool pending_only;
    const char *serves;
};

const char *const kPendingPredicate = "status = 'pending'";

const std::vector<IndexAdvice> &indexes_advised() {
    static const std::vector<IndexAdvice> indexes = {
        {"res_partner_bank_scb_biller_id_idx", "res_partner_bank", {"scb_biller_id"}, nullptr, false,
         "the payment confirmation's match (the QR-enabled bank accounts of a biller id)"},
        {"res_partner_bank_scb_api_config_id_idx", "res_partner_bank", {"scb_api_config_id"}, nullptr, false,
         "the reconciliation's biller ids of a configuration"},
        {"scb_payment_intent_invoice_company_idx", "scb_payment_intent", {"invoice_id", "company_id"}, nullptr,
         false, "the invoice QR's stored intent of an invoice"},
        {"scb_payment_intent_reference_idx", "scb_payment_intent", {"reference"}, nullptr, false,
         "the payment confirmation's match (the intent of a payment's reference)"},
        {"scb_payment_intent_pending_idx", "scb_payment_intent", {"scb_api_config_id"}, "created_at", true,
         "the reconciliation's pending intents of a configuration created within the last days"},
    };
    return indexes;
}

struct PrivilegeNeed {
    Use use;
    const char *privilege;
};

const PrivilegeNeed kPrivilegesNeeded[] = {{kRead, "SELECT"}, {kInserted, "INSERT"}, {kUpdated, "UPDATE"}};

struct Problem {
    const char *kind;
    std::string table;
    std::string name;
    std::string description;
    std::string mend;
};

struct IndexFound {
    std::vector<std::string> columns;
    std::string predicate;
};

std::string joined(const std::vector<std::string> &items, const char *separator) {
    std::string text;
    for (const std::string &item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

bool accepts(const ColumnType &type, const std::string &found) {
    return found == type.expected || (type.also != nullptr && found == type.also);
}

// A zone-aware timestamp holds an instant: read in UTC it keeps its meaning.
std::string type_change(const ColumnUse &column, const std::string &found) {
    const std::string conversion = found == "timestamp with time zone" ? std::string(" AT TIME ZONE 'UTC'")
                                                                        : std::string("::") + column.type.expected;
    return format_text("ALTER COLUMN %s TYPE %s USING %s%s", column.name, column.type.expected, column.name,
                       conversion.c_str());
}

Problem missing_table(const TableUse &table) {
    std::vector<std::string> columns;
    for (const ColumnUse &column : table.columns) {
        columns.push_back(std::string(column.name) + " " +
                          (std::string(column.name) == "id" ? "serial PRIMARY KEY" : column.type.expected));
    }
    return {"table", table.name, table.name, format_text("Table %s is missing", table.name),
            format_text("CREATE TABLE %s (%s)", table.name, joined(columns, ", ").c_str())};
}

// A predicate the server printed for a column of either text type:
// ((status)::text = 'pending'::text) or (status = 'pending'::text).
bool is_pending_predicate(const std::string &predicate) {
    std::string bare = predicate;
    for (const char *noise : {"::character varying", "::text", "(", ")"}) {
        for (std::size_t at = bare.find(noise); at != std::string::npos; at = bare.find(noise)) {
            bare.erase(at, std::string(noise).size());
        }
    }
    return bare == kPendingPredicate;
}

// Its leading key columns are the advised ones, and it holds every row the
// statement may look for.
bool covers(const IndexFound &index, const IndexAdvice &advice) {
    const std::size_t width = advice.equal.size() + (advice.range != nullptr ? 1 : 0);
    if (index.columns.size() < width ||
        !std::is_permutation(advice.equal.begin(), advice.equal.end(), index.columns.begin())) {
        return false;
    }
    if (advice.range != nullptr && index.columns[advice.equal.size()] != advice.range) {
        return false;
    }
    return index.predicate.empty() || (advice.pending_only && is_pending_predicate(index.predicate));
}

std::vector<IndexFound> indexes_of(const PGresult *rows) {
    std::vector<IndexFound> indexes;
    std::string current;
    for (int row = 0; row < PQntuples(rows); ++row) {
        if (indexes.empty() || current != PQgetvalue(rows, row, 0)) {
            current = PQgetvalue(rows, row, 0);
            indexes.push_back({{}, PQgetvalue(rows, row, 2)});
        }
        indexes.back().columns.emplace_back(PQgetvalue(rows, row, 1));
    }
    return indexes;
}

std::string index_statement(const IndexAdvice &advice) {
    std::vector<std::string> columns = advice.equal;
    if (advice.range != nullptr) {
        columns.emplace_back(advice.range);
    }
    return format_text("CREATE INDEX CONCURRENTLY %s ON %s (%s)%s%s", advice.name, advice.table,
                       joined(columns, ", ").c_str(), advice.pending_only ? " WHERE " : "",
                       advice.pending_only ? kPendingPredicate : "");
}

// The catalog read of one database, as its role sees it.
class Inspection {
public:
    Inspection(PGconn *conn, std::string role, std::string quoted_role)
        : conn_(conn), role_(std::move(role)), quoted_role_(std::move(quoted_role)) {}

    // False when a catalog statement failed.
    bool inspect(const TableUse &table) {
        const PgResult columns = run_statement(conn_, sql::kCheckColumns, {table.name});
        if (PQresultStatus(columns.get()) != PGRES_TUPLES_OK) {
            return false;
        }
        if (PQntuples(columns.get()) == 0) {
            problems_.push_back(missing_table(table));
            report_missing_indexes(table, {});
            return true;
        }
        std::map<std::string, std::string> types;
        for (int row = 0; row < PQntuples(columns.get()); ++row) {
            types[PQgetvalue(columns.get(), row, 0)] = PQgetvalue(columns.get(), row, 1);
        }
        for (const ColumnUse &column : table.columns) {
            check_column(table, column, types);
        }
        return check_indexes(table) && check_privileges(table) &&
               (types.count("id") == 0 || check_id_sequence(table));
    }

    const std::vector<Problem> &problems() const { return problems_; }

private:
    void check_column(const TableUse &table, const ColumnUse &column,
                      const std::map<std::string, std::string> &types) {
        const auto found = types.find(column.name);
        if (found == types.end()) {
            problems_.push_back({"column", table.name, column.name,
                                 format_text("Column %s.%s is missing", table.name, column.name),
                                 format_text("ALTER TABLE %s ADD COLUMN %s %s", table.name, column.name,
                                             column.type.expected)});
        } else if (!accepts(column.type, found->second)) {
            problems_.push_back({"column", table.name, column.name,
                                 format_text("Column %s.%s is %s, expected %s", table.name, column.name,
                                             found->second.c_str(), column.type.expected),
                                 format_text("ALTER TABLE %s %s", table.name,
                                             type_change(column, found->second).c_str())});
        }
    }

    bool check_indexes(const TableUse &table) {
        const PgResult rows = run_statement(conn_, sql::kCheckIndexes, {table.name});
        if (PQresultStatus(rows.get()) != PGRES_TUPLES_OK) {
            return false;
        }
        report_missing_indexes(table, indexes_of(rows.get()));
        return true;
    }

    void report_missing_indexes(const TableUse &table, const std::vector<IndexFound> &indexes) {
        for (const IndexAdvice &advice : indexes_advised()) {
            const auto served = [&advice](const IndexFound &index) { return covers(index, advice); };
            if (advice.table == std::string(table.name) && std::none_of(indexes.begin(), indexes.end(), served)) {
                problems_.push_back({"index", table.name, advice.name,
                                     format_text("No index of %s serves %s", table.name, advice.serves),
                                     index_statement(advice)});
            }
        }
    }

    bool check_privileges(const TableUse &table) {
        for (const PrivilegeNeed &need : kPrivilegesNeeded) {
            std::vector<std::string> columns;
            for (const ColumnUse &column : table.columns) {
                if ((column.uses & need.use) != 0U) {
                    columns.emplace_back(column.name);
                }
            }
            if (columns.empty()) {
                continue;
            }
            const PgResult lacking = run_statement(conn_, sql::kCheckColumnPrivileges,
                                                   {table.name, joined(columns, ",").c_str(), need.privilege});
            if (PQresultStatus(lacking.get()) != PGRES_TUPLES_OK) {
                return false;
            }
            if (PQntuples(lacking.get()) > 0) {
                const std::string names = joined(column_texts(lacking.get(), 0), ", ");
                problems_.push_back({"privilege", table.name, need.privilege,
                                     format_text("Role %s lacks %s on %s (%s)", role_.c_str(), need.privilege,
                                                 table.name, names.c_str()),
                                     format_text("GRANT %s (%s) ON %s TO %s", need.privilege, names.c_str(),
                                                 table.name, quoted_role_.c_str())});
            }
        }
        return true;
    }

    // New intents take their id from the column's sequence.
    bool check_id_sequence(const TableUse &table) {
        if (std::none_of(table.columns.begin(), table.columns.end(),
                         [](const ColumnUse &column) { return (column.uses & kInserted) != 0U; })) {
            return true;
        }
        const PgResult sequence = run_statement(conn_, sql::kCheckIdSequence, {table.name});
        if (PQresultStatus(sequence.get()) != PGRES_TUPLES_OK) {
            return false;
        }
        if (PQntuples(sequence.get()) > 0) {
            const char *name = first_row_text(sequence.get(), 0);
            problems_.push_back({"privilege", table.name, "USAGE",
                                 format_text("Role %s may not use sequence %s, which numbers new %s rows",
                                             role_.c_str(), name, table.name),
                                 format_text("GRANT USAGE ON SEQUENCE %s TO %s", name, quoted_role_.c_str())});
        }
        return true;
    }

    PGconn *conn_;
    std::string role_;
    std::string quoted_role_;
    std::vector<Problem> problems_;
};

cJSON *problem_object(const Problem &problem) {
    CJsonTree object = new_json_object();
    add_member(object.get(), "kind", cJSON_CreateString(problem.kind));
    add_member(object.get(), "table", cJSON_CreateString(problem.table.c_str()));
    add_member(object.get(), "name", cJSON_CreateString(problem.name.c_str()));
    add_member(object.get(), "description", cJSON_CreateString(problem.description.c_str()));
    add_member(object.get(), "mend", cJSON_CreateString(problem.mend.c_str()));
    return object.release();
}

ScbText check_answer(const Inspection &inspection, const char *role, const char *zone) {
    const CJsonTree answer = new_json_object();
    CJsonTree status = new_json_object();
    add_member(status.get(), "code", cJSON_CreateNumber(1000));
    add_member(status.get(), "description", cJSON_CreateString("Database check finished"));
    add_member(answer.get(), "status", status.release());
    CJsonTree data = new_json_object();
    CJsonTree problems = new_json_array();
    for (const Problem &problem : inspection.problems()) {
        add_element(problems.get(), problem_object(problem));
    }
    add_member(data.get(), "ok", cJSON_CreateBool(inspection.problems().empty()));
    add_member(data.get(), "role", cJSON_CreateString(role));
    add_member(data.get(), "server_time_zone", cJSON_CreateString(zone));
    add_member(data.get(), "server_time_zone_is_utc", cJSON_CreateBool(is_utc_zone(zone)));
    add_member(data.get(), "problems", problems.release());
    add_member(answer.get(), "data", data.release());
    return ScbText(to_c_text(printed_json(answer.get())));
}

ScbText catalog_unreadable(PGconn *conn) {
    if (connection_lost(conn)) {
        return database_unreachable(kConnectFailedLog);
    }
    scb_log_error(bounded_format(512, "Database check failed: %s", PQerrorMessage(conn)).c_str());
    return ScbText(scb_create_error_response(9002, "Failed to read the database catalog"));
}

}  // namespace

ScbText check_database() {
    Outcome<DbSession> session = open_erp_session();
    if (!session) {
        return session.failure();
    }
    PGconn *conn = session->get();
    const PgResult settings = run_statement(conn, sql::kCheckSession, {});
    if (!has_rows(settings.get())) {
        return catalog_unreadable(conn);
    }
    const char *role = first_row_text(settings.get(), 1);
    Inspection inspection(conn, role, first_row_text(settings.get(), 2));
    for (const TableUse &table : tables_used()) {
        if (!inspection.inspect(table)) {
            return catalog_unreadable(conn);
        }
    }
    scb_log_info(bounded_format(256, "Database check finished: %zu problems", inspection.problems().size()).c_str());
    return check_answer(inspection, role, first_row_text(settings.get(), 0));
}

}  // namespace scb
