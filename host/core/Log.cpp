// HostLog and its sinks. Plug-ins log a line before every operation, so the Off sink returns
// after one load, before any formatting or claim, and the others format into a stack buffer
// unless a line is long. The sink is a constant-initialized global so that this load needs no
// guard; the recorder and the file sit behind the mutex of the lazily built LogState.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/core/HostState.h"

namespace brevant_host {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Written by SetLogSink and SetLogFile on the main thread, read by HostLog on any thread.
std::atomic<LogSink> gSink{LogSink::Stderr};

struct LogState {
    std::mutex mutex;  // guards the recorder and the file
    std::vector<LogLine> recorded;
    std::unique_ptr<std::FILE, FileCloser> file;
};

LogState& Log() {
    static LogState state;
    return state;
}

const char* OrEmpty(const char* text) { return text ? text : ""; }

// Writes "[tag] function: message\n" with one call, so that lines of two threads never mix.
void WriteLine(std::FILE* out, const char* tag, const char* function, const std::string& message) {
    std::string line;
    line.reserve(message.size() + 64);
    line += '[';
    line += tag;
    line += "] ";
    line += function;
    line += ": ";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

}  // namespace

void SetLogSink(LogSink sink) {
    core::ClaimMainThread();
    gSink.store(sink);
}

bool SetLogFile(const std::string& path) {
    core::ClaimMainThread();
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "a"));
    if (!file) return false;
    LogState& state = Log();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.file = std::move(file);
    }
    gSink.store(LogSink::File);
    return true;
}

std::vector<LogLine> RecordedLog() {
    core::ClaimMainThread();
    LogState& state = Log();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.recorded;
}

void ClearRecordedLog() {
    core::ClaimMainThread();
    core::ResetLog();
}

namespace core {

bool SinkIsRecorder() { return gSink.load(std::memory_order_relaxed) == LogSink::Recorder; }

void ResetLog() {
    LogState& state = Log();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.recorded.clear();
}

}  // namespace core
}  // namespace brevant_host

using namespace brevant_host;

namespace {

// The formatting and the sink, out of line so that HostLog itself stays a load, a compare and
// the variadic prologue when the sink is Off. `args` is consumed.
__attribute__((noinline)) void Emit(LogSink sink, int32_t level, const char* tag, const char* function,
                                    const char* format, va_list args) {
    LogState& state = Log();
    std::string message;
    if (format) {
        char buffer[512];
        va_list retry;
        va_copy(retry, args);
        const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
        if (length >= static_cast<int>(sizeof buffer)) {
            message.resize(static_cast<size_t>(length));
            std::vsnprintf(&message[0], message.size() + 1, format, retry);
        } else if (length > 0) {
            message.assign(buffer, static_cast<size_t>(length));
        }
        va_end(retry);
    }
    tag = OrEmpty(tag);
    function = OrEmpty(function);

    switch (sink) {
        case LogSink::Recorder: {
            LogLine line{level, tag, function, std::move(message)};
            std::lock_guard<std::mutex> lock(state.mutex);
            state.recorded.push_back(std::move(line));
            break;
        }
        case LogSink::File: {
            std::lock_guard<std::mutex> lock(state.mutex);
            WriteLine(state.file ? state.file.get() : stderr, tag, function, message);
            break;
        }
        case LogSink::Stderr:
        case LogSink::Off:
            WriteLine(stderr, tag, function, message);
            break;
    }
}

}  // namespace

void HostLog(int32_t level, const char* tag, const char* function, const char* format, ...) {
    // Off is only ever set through SetLogSink, which has claimed the main thread already, so
    // returning before the claim changes nothing.
    const LogSink sink = gSink.load(std::memory_order_relaxed);
    if (sink == LogSink::Off) return;
    core::ClaimMainThread();
    va_list args;
    va_start(args, format);
    Emit(sink, level, tag, function, format, args);
    va_end(args);
}
