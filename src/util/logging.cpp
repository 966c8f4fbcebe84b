#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "log_sink.hpp"
#include "scb.h"
#include "text.hpp"

namespace {

using scb::LogLevel;

std::atomic<scb::LogSink> g_sink{nullptr};

// Lines being handed to a sink now, in the whole process.
std::atomic<int> g_lines_in_sink{0};

// This thread's share of them: more than one when a sink itself logs
// through the library. Kept under a pthread key rather than in a
// thread_local: a loaded module's thread_locals live in blocks the C library
// frees when it reuses a thread's stack, which ThreadSanitizer reports as
// races with the thread that wrote them.
pthread_key_t g_own_lines_key;
const bool g_own_lines_key_made = pthread_key_create(&g_own_lines_key, nullptr) == 0;

int own_lines_in_sink() noexcept {
    if (!g_own_lines_key_made) {
        return 0;
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(pthread_getspecific(g_own_lines_key)));
}

void add_own_lines_in_sink(int change) noexcept {
    if (g_own_lines_key_made) {
        const std::intptr_t lines = own_lines_in_sink() + change;
        (void)pthread_setspecific(g_own_lines_key, reinterpret_cast<void *>(lines));
    }
}

class LineInSink {
public:
    LineInSink() noexcept {
        add_own_lines_in_sink(1);
        ++g_lines_in_sink;
    }
    ~LineInSink() {
        --g_lines_in_sink;
        add_own_lines_in_sink(-1);
    }
    LineInSink(const LineInSink &) = delete;
    LineInSink &operator=(const LineInSink &) = delete;
};

// The count is read after it is raised, and clear_log_sink() reads it after
// the sink is gone: a line either sees no sink or is waited for.
bool handed_to_sink(LogLevel level, const std::string &message) noexcept {
    const LineInSink counted;
    const scb::LogSink sink = g_sink.load();
    return sink != nullptr && sink(level, message.c_str());
}

// Threads that were handing lines over do not exist in a forked child;
// a child waiting for them would wait forever.
void forget_other_threads_lines() noexcept {
    g_lines_in_sink.store(own_lines_in_sink());
}

bool register_fork_handler() noexcept {
    if (pthread_atfork(nullptr, nullptr, forget_other_threads_lines) == 0) {
        return true;
    }
    scb_log_error("Failed to register the fork handler of the log sink");
    return false;
}

// The 24-character form ctime gives, made with the reentrant localtime_r so
// that threads logging at once never share a buffer.
std::string timestamp() {
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return "??? ??? ?? ??:??:?? ????";
    }
    return scb::bounded_format(32, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days[local.tm_wday % 7],
                               months[local.tm_mon % 12], local.tm_mday, local.tm_hour,
                               local.tm_min, local.tm_sec, 1900 + local.tm_year);
}

// How a byte or sequence that would break the record, or drive a terminal,
// is written instead; empty for text kept as it is. Tab stays. C1 controls
// and the Unicode line and paragraph separators break lines for readers that
// split on them.
std::string escaped_control(const unsigned char *at, std::size_t &length) {
    length = 1;
    if (at[0] == '\n') {
        return "\\n";
    }
    if (at[0] == '\r') {
        return "\\r";
    }
    if (at[0] != '\t' && scb::is_control_byte(at[0])) {
        return scb::bounded_format(8, "\\x%02x", at[0]);
    }
    if (at[0] == 0xc2 && at[1] >= 0x80 && at[1] <= 0x9f) {
        length = 2;
        return scb::bounded_format(8, "\\u%04x", at[1]);
    }
    if (at[0] == 0xe2 && at[1] == 0x80 && (at[2] == 0xa8 || at[2] == 0xa9)) {
        length = 3;
        return scb::bounded_format(8, "\\u20%02x", at[2] - 0x80);
    }
    return {};
}

// A record stays one line whatever the message holds.
std::string one_line(const char *message) {
    std::string line;
    const auto *at = reinterpret_cast<const unsigned char *>(scb::or_empty(message));
    while (*at != '\0') {
        std::size_t length = 1;
        const std::string escape = escaped_control(at, length);
        if (escape.empty()) {
            line += static_cast<char>(*at);
        } else {
            line += escape;
        }
        at += length;
    }
    return line;
}

const char *level_name(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::info:
            return "INFO";
        case LogLevel::error:
            return "ERROR";
        case LogLevel::debug:
            return "DEBUG";
    }
    return "?";
}

int write_to_standard_error(LogLevel level, const std::string &message) {
    const std::string line = "[CORVANE] [" + timestamp() + "] " + level_name(level) + ": " + message + "\n";
    // stderr is unbuffered: one fwrite is one write, so lines from
    // several threads never interleave.
    return static_cast<int>(std::fwrite(line.data(), 1, line.size(), stderr));
}

int write_line(LogLevel level, const char *message) noexcept {
    try {
        const std::string text = one_line(message);
        if (handed_to_sink(level, text)) {
            return static_cast<int>(text.size());
        }
        return write_to_standard_error(level, text);
    } catch (...) {
        return -1;
    }
}

bool read_debug_switch() noexcept {
    const char *scb_debug = std::getenv("SCB_DEBUG");
    const char *debug_scb = std::getenv("DEBUG_SCB");
    return scb::switch_is_on(scb_debug) || scb::switch_is_on(debug_scb);
}

bool is_debug_enabled() noexcept {
    // Initialised once, thread-safely, on the first debug call.
    static const bool enabled = read_debug_switch();
    return enabled;
}

}  // namespace

namespace scb {

void set_log_sink(LogSink sink) noexcept {
    static const bool fork_handler_registered = register_fork_handler();
    (void)fork_handler_registered;
    g_sink.store(sink);
}

void clear_log_sink() noexcept {
    g_sink.store(nullptr);
    while (g_lines_in_sink.load() > own_lines_in_sink()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace scb

extern "C" {

int scb_log_info(const char *message) noexcept {
    return write_line(LogLevel::info, message);
}

int scb_log_error(const char *message) noexcept {
    return write_line(LogLevel::error, message);
}

int scb_log_debug(const char *message) noexcept {
    if (!is_debug_enabled()) {
        return 0;
    }
    return write_line(LogLevel::debug, message);
}

}  // extern "C"
