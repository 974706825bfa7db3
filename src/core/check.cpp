#include "core/check.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unistd.h>

#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define SKAV_HAVE_BACKTRACE 1
#endif

namespace core {
namespace {

constexpr const char* kBacktraceVariable = "SKAV_RS_BACKTRACE";

std::atomic<bool> first_report{true};
thread_local int deferring_scopes = 0;
// 0: not read yet, 1: off, 2: on; read once, at the first report.
std::atomic<int> backtrace_setting{0};

bool backtraces_enabled() {
    int setting = backtrace_setting.load();
    if (setting == 0) {
        const char* value = std::getenv(kBacktraceVariable);
        setting = (value && *value && std::strcmp(value, "0") != 0) ? 2 : 1;
        backtrace_setting.store(setting);
    }
    return setting == 2;
}

void write_all(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report to
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

void write_backtrace() {
    write_all("stack backtrace:\n");
#ifdef SKAV_HAVE_BACKTRACE
    void* frames[64];
    int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, 2);
#endif
}

void write_report(const std::string& message, const std::source_location& at) {
    std::string report = "thread '<unnamed>' panicked at ";
    report += at.file_name();
    report += ':' + std::to_string(at.line()) + ':' + std::to_string(at.column()) + ":\n";
    report += message;
    report += '\n';
    bool first = first_report.exchange(false);
    bool backtrace = backtraces_enabled();
    if (first && !backtrace) {
        report += "note: run with `";
        report += kBacktraceVariable;
        report += "=1` environment variable to display a backtrace\n";
    }
    write_all(report);
    if (backtrace) write_backtrace();
}

}  // namespace

DeferredReports::DeferredReports() noexcept { ++deferring_scopes; }

DeferredReports::~DeferredReports() { --deferring_scopes; }

bool DeferredReports::active() noexcept { return deferring_scopes > 0; }

void CheckFailure::report() const {
    if (!DeferredReports::active()) write_report(message_, at_);
}

void CheckFailure::report_now() const { write_report(message_, at_); }

std::optional<std::string> note_of(const CheckFailure& failure, std::string_view path) noexcept {
    try {
        std::string note = failure.location().note(path);
        if (!note.empty()) return note;
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

void fail(std::string message, Location location, std::source_location at) {
    CheckFailure failure(std::move(message), location, at);
    failure.report();
    throw failure;
}

}  // namespace core
