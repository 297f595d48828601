// HostLog and its sinks. Plug-ins log a line before every operation, so the Off sink returns
// before any formatting, and the others format into a stack buffer unless a line is long.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostState.h"

namespace brevant_host {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct LogState {
    std::atomic<LogSink> sink{LogSink::Stderr};
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
    Log().sink.store(sink);
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
    state.sink.store(LogSink::File);
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

bool SinkIsQuiet() {
    const LogSink sink = Log().sink.load(std::memory_order_relaxed);
    return sink == LogSink::Recorder || sink == LogSink::Off;
}

void ResetLog() {
    LogState& state = Log();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.recorded.clear();
}

}  // namespace core
}  // namespace brevant_host

using namespace brevant_host;

void HostLog(int32_t level, const char* tag, const char* function, const char* format, ...) {
    core::ClaimMainThread();
    LogState& state = Log();
    const LogSink sink = state.sink.load(std::memory_order_relaxed);
    if (sink == LogSink::Off) return;

    std::string message;
    if (format) {
        char buffer[512];
        va_list args;
        va_start(args, format);
        va_list retry;
        va_copy(retry, args);
        const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
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
