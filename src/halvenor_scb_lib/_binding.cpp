// The Python face of the library: parse arguments, run one operation with
// the interpreter lock released, convert the response document, release it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "log_sink.hpp"
#include "scb.h"

namespace {

const char *const kNullResult = "C library returned NULL - internal error";

// The operation blocks on the bank and the database; other Python threads
// run meanwhile. Parsed texts stay alive in the argument tuple the caller holds.
template <typename Result, typename Operation>
Result without_interpreter_lock(Operation operation) {
    Result result;
    Py_BEGIN_ALLOW_THREADS
    result = operation();
    Py_END_ALLOW_THREADS
    return result;
}

PyObject *json_string_to_dict(const char *text) {
    PyObject *json = PyImport_ImportModule("json");
    if (json == nullptr) {
        return nullptr;
    }
    PyObject *loads = PyObject_GetAttrString(json, "loads");
    Py_DECREF(json);
    if (loads == nullptr) {
        return nullptr;
    }
    PyObject *document = PyUnicode_FromString(text);
    if (document == nullptr) {
        Py_DECREF(loads);
        return nullptr;
    }
    PyObject *result = PyObject_CallFunctionObjArgs(loads, document, nullptr);
    Py_DECREF(loads);
    Py_DECREF(document);
    return result;
}

// Takes ownership of an operation's text: converted, then released on every
// path; a null text is the internal failure named by `failure`.
PyObject *converted_result(char *text, PyObject *(*convert)(const char *), const char *failure) {
    if (text == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, failure);
        return nullptr;
    }
    PyObject *result = convert(text);
    scb_free(text);
    return result;
}

PyObject *document_result(char *text) {
    return converted_result(text, json_string_to_dict, kNullResult);
}

// Placeholder texts are handed back unparsed.
PyObject *text_result(char *text, const char *failure) {
    return converted_result(text, PyUnicode_FromString, failure);
}

PyObject *scb_api_create_qr(PyObject *, PyObject *args) {
    const char *config_id = nullptr;
    const char *reference = nullptr;
    const char *channel = "ecomm";
    double amount = 0.0;
    if (!PyArg_ParseTuple(args, "sds|s", &config_id, &amount, &reference, &channel)) {
        return nullptr;
    }
    char *text = without_interpreter_lock<char *>(
        [&] { return scb_create_qr_impl(config_id, reference, channel, amount); });
    return text_result(text, "Failed to create QR code");
}

PyObject *scb_api_create_qr_full(PyObject *, PyObject *args) {
    const char *api_key = nullptr;
    const char *access_token = nullptr;
    const char *qr_create_url = nullptr;
    const char *biller_id = nullptr;
    const char *ref1 = nullptr;
    const char *ref2 = nullptr;
    const char *ref3 = "SCB";
    double amount = 0.0;
    if (!PyArg_ParseTuple(args, "ssssdss|s", &api_key, &access_token, &qr_create_url, &biller_id, &amount, &ref1,
                          &ref2, &ref3)) {
        return nullptr;
    }
    return document_result(without_interpreter_lock<char *>([&] {
        return scb_create_qr_full(api_key, access_token, qr_create_url, biller_id, ref1, ref2, ref3, amount);
    }));
}

PyObject *scb_api_create_qr_by_bank(PyObject *, PyObject *args) {
    const char *bank_account_id = nullptr;
    const char *ref1 = nullptr;
    const char *ref2 = nullptr;
    const char *ref3 = "SCB";
    double amount = 0.0;
    if (!PyArg_ParseTuple(args, "sdss|s", &bank_account_id, &amount, &ref1, &ref2, &ref3)) {
        return nullptr;
    }
    return document_result(without_interpreter_lock<char *>(
        [&] { return scb_create_qr_by_bank_account(bank_account_id, ref1, ref2, ref3, amount); }));
}

PyObject *scb_api_check_payment(PyObject *, PyObject *args) {
    const char *reference = nullptr;
    if (!PyArg_ParseTuple(args, "s", &reference)) {
        return nullptr;
    }
    char *text = without_interpreter_lock<char *>([&] { return scb_check_payment_impl(reference); });
    return text_result(text, "Failed to check payment status");
}

PyObject *scb_api_refresh_token(PyObject *, PyObject *args) {
    const char *config_id = nullptr;
    if (!PyArg_ParseTuple(args, "s", &config_id)) {
        return nullptr;
    }
    return document_result(without_interpreter_lock<char *>([&] { return scb_refresh_token_by_config_id(config_id); }));
}

PyObject *scb_api_payment_inquiry(PyObject *, PyObject *args, PyObject *kwargs) {
    static char *keyword_list[] = {const_cast<char *>("config_id"), const_cast<char *>("transaction_ref"),
                                   const_cast<char *>("biller_id"), const_cast<char *>("reference1"),
                                   const_cast<char *>("reference2"), const_cast<char *>("amount"),
                                   const_cast<char *>("transaction_date"), nullptr};
    const char *config_id = nullptr;
    const char *transaction_ref = nullptr;
    const char *biller_id = nullptr;
    const char *reference1 = nullptr;
    const char *reference2 = nullptr;
    const char *amount = nullptr;
    const char *transaction_date = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|zzzzzz", keyword_list, &config_id, &transaction_ref,
                                     &biller_id, &reference1, &reference2, &amount, &transaction_date)) {
        return nullptr;
    }
    return document_result(without_interpreter_lock<char *>([&] {
        return scb_payment_inquiry(config_id, transaction_ref, biller_id, reference1, reference2, amount,
                                   transaction_date);
    }));
}

PyObject *scb_api_create_qr_for_invoice(PyObject *, PyObject *args, PyObject *kwargs) {
    static char *keyword_list[] = {const_cast<char *>("invoice_id"), const_cast<char *>("company_id"),
                                   const_cast<char *>("config_id"),  const_cast<char *>("reference"),
                                   const_cast<char *>("amount"),     const_cast<char *>("bank_account_id"),
                                   const_cast<char *>("ref3"),       nullptr};
    int invoice_id = 0;
    int company_id = 0;
    int config_id = 0;
    const char *reference = nullptr;
    double amount = 0.0;
    const char *bank_account_id = nullptr;
    const char *ref3 = "SCB";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iiisds|$s", keyword_list, &invoice_id, &company_id, &config_id,
                                     &reference, &amount, &bank_account_id, &ref3)) {
        return nullptr;
    }
    bool connected = true;
    char *text = without_interpreter_lock<char *>([&]() -> char * {
        PGconn *conn = scb_db_acquire();
        if (conn == nullptr) {
            connected = false;
            return nullptr;
        }
        char *document = scb_create_qr_for_invoice_with_ref3(conn, invoice_id, company_id, config_id, reference,
                                                             bank_account_id, amount, ref3);
        scb_db_release(conn);
        return document;
    });
    if (!connected) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to connect to database");
        return nullptr;
    }
    return document_result(text);
}

// A record holding a NUL byte is not JSON; the C interface sees the empty text.
PyObject *scb_api_confirm_payment(PyObject *, PyObject *args) {
    const char *record = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "y#", &record, &size)) {
        return nullptr;
    }
    if (std::memchr(record, '\0', static_cast<size_t>(size)) != nullptr) {
        record = "";
    }
    return document_result(without_interpreter_lock<char *>([&] { return scb_confirm_payment(record); }));
}

PyObject *scb_api_reconcile_intents(PyObject *, PyObject *args) {
    int config_id = 0;
    int days = 0;
    int max_rate = 0;
    if (!PyArg_ParseTuple(args, "ii|i", &config_id, &days, &max_rate)) {
        return nullptr;
    }
    return document_result(without_interpreter_lock<char *>(
        [&] { return scb_reconcile_intents_paced(config_id, days, max_rate); }));
}

PyObject *scb_api_check_database(PyObject *, PyObject *) {
    return document_result(without_interpreter_lock<char *>([] { return scb_check_database(); }));
}

PyObject *scb_api_cancel_invoice_qr(PyObject *, PyObject *args) {
    int invoice_id = 0;
    int company_id = 0;
    if (!PyArg_ParseTuple(args, "ii", &invoice_id, &company_id)) {
        return nullptr;
    }
    return document_result(
        without_interpreter_lock<char *>([&] { return scb_cancel_invoice_qr(invoice_id, company_id); }));
}

// A payment listener as Python holds it: a capsule owning this slot, which
// owns the listener until it is closed. `waiting` is touched only with the
// interpreter lock held; while it is set another thread waits on the session.
struct ListenerSlot {
    scb_payment_listener *listener = nullptr;
    bool waiting = false;
};

const char *const kListenerCapsule = "halvenor_scb_lib._binding.payment_listener";

void release_listener_slot(PyObject *capsule) {
    auto *slot = static_cast<ListenerSlot *>(PyCapsule_GetPointer(capsule, kListenerCapsule));
    if (slot == nullptr) {
        PyErr_Clear();
        return;
    }
    scb_payment_listener_close(slot->listener);
    delete slot;
}

// The slot of an open listener no other thread is waiting on; else null with the exception set.
ListenerSlot *idle_listener(PyObject *capsule) {
    auto *slot = static_cast<ListenerSlot *>(PyCapsule_GetPointer(capsule, kListenerCapsule));
    if (slot == nullptr) {
        return nullptr;
    }
    if (slot->listener == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the payment listener is closed");
        return nullptr;
    }
    if (slot->waiting) {
        PyErr_SetString(PyExc_RuntimeError, "another thread is waiting on this payment listener");
        return nullptr;
    }
    return slot;
}

PyObject *listen_payment_events(PyObject *, PyObject *) {
    scb_payment_listener *listener =
        without_interpreter_lock<scb_payment_listener *>([] { return scb_payment_listener_open(); });
    if (listener == nullptr) {
        PyErr_SetString(PyExc_ConnectionError, "Failed to listen for payment notifications");
        return nullptr;
    }
    auto *slot = new (std::nothrow) ListenerSlot{listener, false};
    PyObject *capsule = slot != nullptr ? PyCapsule_New(slot, kListenerCapsule, release_listener_slot) : nullptr;
    if (capsule == nullptr) {
        scb_payment_listener_close(listener);
        delete slot;
        return slot == nullptr ? PyErr_NoMemory() : nullptr;
    }
    return capsule;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline for one wait, within the C interface's range; -1 for none.
int32_t wait_ms(bool bounded, Clock::time_point deadline) {
    if (!bounded) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int32_t>(left < INT32_MAX ? left : INT32_MAX);
}

// The next notification's document, or None once `timeout` seconds (None:
// no limit) pass without one; ConnectionError when the session is lost. A
// signal ends the wait so that its Python handler runs (KeyboardInterrupt).
PyObject *next_payment_event(PyObject *, PyObject *args) {
    PyObject *capsule = nullptr;
    PyObject *timeout = Py_None;
    if (!PyArg_ParseTuple(args, "O|O", &capsule, &timeout)) {
        return nullptr;
    }
    ListenerSlot *slot = idle_listener(capsule);
    if (slot == nullptr) {
        return nullptr;
    }
    const double seconds = timeout == Py_None ? HUGE_VAL : PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    if (!(seconds >= 0)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be None or a number of seconds, not negative");
        return nullptr;
    }
    const bool bounded = std::isfinite(seconds) && seconds < 1e9;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded ? seconds : 0));
    for (;;) {
        if (PyErr_CheckSignals() < 0) {
            return nullptr;
        }
        char *document = nullptr;
        const int32_t wait = wait_ms(bounded, deadline);
        slot->waiting = true;
        const int32_t heard = without_interpreter_lock<int32_t>(
            [&] { return scb_payment_listener_next(slot->listener, wait, &document); });
        slot->waiting = false;
        if (heard == 1) {
            return document_result(document);
        }
        if (heard == -1) {
            PyErr_SetString(PyExc_ConnectionError, "Payment notification session lost");
            return nullptr;
        }
        if (heard == 0 && wait_ms(bounded, deadline) == 0) {
            Py_RETURN_NONE;
        }
    }
}

PyObject *close_payment_events(PyObject *, PyObject *args) {
    PyObject *capsule = nullptr;
    if (!PyArg_ParseTuple(args, "O", &capsule)) {
        return nullptr;
    }
    auto *slot = static_cast<ListenerSlot *>(PyCapsule_GetPointer(capsule, kListenerCapsule));
    if (slot == nullptr) {
        return nullptr;
    }
    if (slot->waiting) {
        PyErr_SetString(PyExc_RuntimeError, "another thread is waiting on this payment listener");
        return nullptr;
    }
    scb_payment_listener *listener = slot->listener;
    slot->listener = nullptr;
    Py_BEGIN_ALLOW_THREADS
    scb_payment_listener_close(listener);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject *close_connections(PyObject *, PyObject *) {
    Py_BEGIN_ALLOW_THREADS
    scb_close_connections();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// The logger every line goes to while use_python_logging is on; touched
// only with the interpreter lock held.
PyObject *g_logger = nullptr;

const char *logger_method(scb::LogLevel level) noexcept {
    switch (level) {
        case scb::LogLevel::info:
            return "info";
        case scb::LogLevel::error:
            return "error";
        case scb::LogLevel::debug:
            return "debug";
    }
    return "error";
}

// Messages may carry bytes from the bank that are not UTF-8; they are shown
// as \xNN, like the control characters already escaped.
bool call_logger(scb::LogLevel level, const char *message) noexcept {
    if (g_logger == nullptr) {
        return false;
    }
    // Held for the call: a handler may switch the logging off meanwhile.
    PyObject *logger = g_logger;
    Py_INCREF(logger);
    PyObject *text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "backslashreplace");
    PyObject *result = text == nullptr ? nullptr : PyObject_CallMethod(logger, logger_method(level), "O", text);
    Py_XDECREF(text);
    const bool handed = result != nullptr;
    if (!handed) {
        PyErr_WriteUnraisable(logger);
    }
    Py_XDECREF(result);
    Py_DECREF(logger);
    return handed;
}

// Only a thread that has a Python thread state enters the interpreter: a
// kept connection closed by a thread_local destructor runs after its
// thread's state is gone, and such a line goes to standard error.
bool log_through_python(scb::LogLevel level, const char *message) noexcept {
    if (PyGILState_GetThisThreadState() == nullptr) {
        return false;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool handed = call_logger(level, message);
    PyGILState_Release(state);
    return handed;
}

PyObject *library_logger() {
    PyObject *logging = PyImport_ImportModule("logging");
    if (logging == nullptr) {
        return nullptr;
    }
    PyObject *logger = PyObject_CallMethod(logging, "getLogger", "s", "halvenor_scb_lib");
    Py_DECREF(logging);
    return logger;
}

// Switching off waits, without the interpreter lock, for lines other
// threads are handing over; after that no line enters the interpreter, as
// interpreter exit requires. Lines that take the lock meanwhile find no
// logger and go to standard error.
PyObject *use_python_logging(PyObject *, PyObject *args, PyObject *kwargs) {
    static char *keyword_list[] = {const_cast<char *>("enabled"), nullptr};
    int enabled = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|p", keyword_list, &enabled)) {
        return nullptr;
    }
    if (enabled) {
        PyObject *logger = library_logger();
        if (logger == nullptr) {
            return nullptr;
        }
        PyObject *previous = g_logger;
        g_logger = logger;
        Py_XDECREF(previous);
        scb::set_log_sink(log_through_python);
    } else {
        Py_CLEAR(g_logger);
        Py_BEGIN_ALLOW_THREADS
        scb::clear_log_sink();
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

template <typename Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef ScbMethods[] = {
    {"scb_api_create_qr", as_method(scb_api_create_qr), METH_VARARGS, "Create SCB QR code"},
    {"scb_api_create_qr_full", as_method(scb_api_create_qr_full), METH_VARARGS,
     "Create SCB QR code with full parameters"},
    {"scb_api_create_qr_by_bank", as_method(scb_api_create_qr_by_bank), METH_VARARGS,
     "Create SCB QR code using bank account ID (fetches config from database)"},
    {"scb_api_check_payment", as_method(scb_api_check_payment), METH_VARARGS, "Check SCB payment status"},
    {"scb_api_refresh_token", as_method(scb_api_refresh_token), METH_VARARGS, "Refresh SCB access token"},
    {"scb_api_payment_inquiry", as_method(scb_api_payment_inquiry), METH_VARARGS | METH_KEYWORDS,
     "Check SCB payment status via payment inquiry API"},
    {"create_qr_for_invoice", as_method(scb_api_create_qr_for_invoice), METH_VARARGS | METH_KEYWORDS,
     "Create QR for invoice with intent caching (returns cached QR if exists)"},
    {"scb_api_confirm_payment", as_method(scb_api_confirm_payment), METH_VARARGS,
     "Verify the bank's payment confirmation record and confirm the invoice's intent once"},
    {"scb_api_reconcile_intents", as_method(scb_api_reconcile_intents), METH_VARARGS,
     "Check the pending intents of a configuration with the bank's inquiry and confirm the paid ones"},
    {"scb_api_check_database", as_method(scb_api_check_database), METH_NOARGS,
     "Check the ERP database's tables, columns, indexes and privileges for the module, changing nothing"},
    {"close_connections", as_method(close_connections), METH_NOARGS,
     "Close the database and bank connections this process keeps (SCB_REUSE_CONNECTIONS)"},
    {"use_python_logging", as_method(use_python_logging), METH_VARARGS | METH_KEYWORDS,
     "Send the library's log lines to the logger 'halvenor_scb_lib' (True) or to standard error (False)"},
    {"scb_api_cancel_invoice_qr", as_method(scb_api_cancel_invoice_qr), METH_VARARGS,
     "Cancel the pending QR of an invoice (its intents cancelled); a confirmed intent is never cancelled"},
    {"listen_payment_events", as_method(listen_payment_events), METH_NOARGS,
     "Open a session of its own listening for payment notifications; ConnectionError when it cannot"},
    {"next_payment_event", as_method(next_payment_event), METH_VARARGS,
     "The next payment notification as a dict, or None after timeout seconds without one"},
    {"close_payment_events", as_method(close_payment_events), METH_VARARGS,
     "Close a payment listener's session"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef scbmodule = {
    PyModuleDef_HEAD_INIT, "_binding", "Halvenor SCB C Extension", -1, ScbMethods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__binding(void) {
    return PyModule_Create(&scbmodule);
}
