#include "reconciliation.hpp"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "confirmation.hpp"
#include "db.hpp"
#include "erp_session.hpp"
#include "inquiry.hpp"
#include "pacer.hpp"
#include "readers.hpp"
#include "scb.h"
#include "sql.hpp"
#include "text.hpp"

namespace scb {

namespace {

enum ClaimColumn { kCreatedOn = 8, kToday = 9 };

const char *const kInvoiceReference2 = "INVOICE";

// Every date from `first` to `last` (YYYY-MM-DD), both included.
std::vector<std::string> dates_between(const std::string &first, const std::string &last) {
    std::tm day{};
    if (strptime(first.c_str(), "%Y-%m-%d", &day) == nullptr) {
        return {};
    }
    std::vector<std::string> dates;
    for (std::time_t at = timegm(&day); dates.size() < 366; at += 24 * 60 * 60) {
        std::tm current{};
        char text[16] = "";
        if (gmtime_r(&at, &current) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d", &current) == 0) {
            break;
        }
        dates.emplace_back(text);
        if (dates.back() >= last) {
            break;
        }
    }
    return dates;
}

// One intent's entry in the run's answer: outcome "error" with the failure's envelope.
std::string failed_check(const PayableIntent &intent, const ScbText &failure) {
    return payment_check_document(PaymentCheck{PaymentOutcome::kError, &intent, nullptr, failure.get()});
}

// The payments the bank knows for the intent, over its dates and the
// configuration's biller ids, asked without an amount so that a partial
// payment shows; the first with the intent's amount, else the first at all.
struct Search {
    std::optional<PaymentFound> payment;
    std::string biller_id;
    ScbText failure;
    bool failed = false;
};

Search search_payment(InquiryChannel &channel, const PayableIntent &intent, const std::vector<std::string> &billers,
                      const std::vector<std::string> &dates) {
    Search search;
    const std::optional<int64_t> expected = satang_of(intent.amount);
    for (const std::string &biller : billers) {
        for (const std::string &date : dates) {
            const InquiryQuery query{"", biller, intent.reference, kInvoiceReference2, "", date};
            // Renewals take a session of their own: this one holds the claim's transaction.
            ScbText answer = inquire(channel, query, nullptr);
            const InquiryPayments read = read_inquiry_payments(answer.get());
            if (read.reading != InquiryPayments::kPayments) {
                search.failure = inquiry_failure(std::move(answer), read.reading);
                search.failed = true;
                return search;
            }
            for (const PaymentFound &payment : read.payments) {
                if (!search.payment || (payment.satang == expected && search.payment->satang != expected)) {
                    search.payment = payment;
                    search.biller_id = biller;
                }
            }
            if (search.payment && search.payment->satang == expected) {
                return search;
            }
        }
    }
    return search;
}

// Claims one intent in a transaction of its own, for the length of its
// check; nothing when another reconciler holds it or it is no longer pending.
std::optional<std::string> check_intent(PGconn *conn, InquiryChannel &channel, const std::vector<std::string> &billers,
                                    const std::string &intent_id) {
    Transaction claim(conn);
    const PgResult claimed = run_statement(conn, sql::kClaimIntent, {intent_id.c_str()});
    if (!claim.begun() || PQresultStatus(claimed.get()) != PGRES_TUPLES_OK) {
        PayableIntent unknown;
        unknown.id = static_cast<int32_t>(std::strtol(intent_id.c_str(), nullptr, 10));
        scb_log_error(bounded_format(512, "Failed to claim intent %s: %s", intent_id.c_str(), PQerrorMessage(conn)).c_str());
        return failed_check(unknown, ScbText(scb_create_error_response(9002, "Failed to claim the intent")));
    }
    if (PQntuples(claimed.get()) == 0) {
        return std::nullopt;
    }
    const PayableIntent intent = payable_intent_of(claimed.get());
    const std::vector<std::string> dates =
        dates_between(first_row_text(claimed.get(), kCreatedOn), first_row_text(claimed.get(), kToday));
    Search search = search_payment(channel, intent, billers, dates);
    if (search.failed) {
        return failed_check(intent, search.failure);
    }
    PaymentCheck check{PaymentOutcome::kNotVerified, &intent, nullptr};
    if (search.payment) {
        // Inside the claim's transaction: the confirmation and its notification commit together.
        Outcome<PaymentOutcome> settled = settle_payment(conn, intent, *search.payment, search.biller_id);
        if (!settled) {
            return failed_check(intent, settled.failure());
        }
        check = PaymentCheck{*settled, &intent, &*search.payment};
    }
    if (!claim.commit() && check.outcome == PaymentOutcome::kConfirmed) {
        return failed_check(intent, ScbText(scb_create_error_response(9002, "Failed to commit the confirmation")));
    }
    return payment_check_document(check);
}

ScbText run_answer(const std::vector<std::string> &checked) {
    std::string answer = R"({"status":{"code":1000,"description":"Reconciliation finished"},"data":[)";
    for (std::size_t i = 0; i < checked.size(); ++i) {
        answer += (i == 0 ? "" : ",") + checked[i];
    }
    return ScbText(to_c_text(answer + "]}"));
}

}  // namespace

ScbText reconcile_intents(const char *config_id, int days, int max_rate) {
    if (days < 1) {
        return ScbText(scb_create_error_response(9004, "Invalid parameters: days must be at least 1"));
    }
    if (max_rate < 0) {
        return ScbText(scb_create_error_response(9004, "Invalid parameters: max_rate must not be negative"));
    }
    Outcome<DbSession> session = open_erp_session();
    if (!session) {
        return session.failure();
    }
    PGconn *conn = session->get();
    Outcome<InquiryChannel> channel = open_inquiry(conn, config_id);
    if (!channel) {
        return channel.failure();
    }
    channel->pacer = Pacer(max_rate);
    const PgResult billers = run_statement(conn, sql::kConfigBillerIds, {config_id});
    const PgResult pending = run_statement(conn, sql::kPendingIntents, {config_id, format_text("%d", days).c_str()});
    if (PQresultStatus(billers.get()) != PGRES_TUPLES_OK || PQresultStatus(pending.get()) != PGRES_TUPLES_OK) {
        scb_log_error(bounded_format(512, "Pending intent query failed: %s", PQerrorMessage(conn)).c_str());
        return ScbText(scb_create_error_response(9002, "Failed to read the pending intents"));
    }
    const std::vector<std::string> biller_ids = column_texts(billers.get(), 0);
    const std::vector<std::string> intent_ids = column_texts(pending.get(), 0);
    scb_log_info(bounded_format(256, "Reconciling %zu pending intents of config %s", intent_ids.size(),
                                or_empty(config_id))
                     .c_str());
    std::vector<std::string> checked;
    for (const std::string &intent_id : intent_ids) {
        if (std::optional<std::string> done = check_intent(conn, *channel, biller_ids, intent_id)) {
            checked.push_back(std::move(*done));
        }
    }
    return run_answer(checked);
}

}  // namespace scb
