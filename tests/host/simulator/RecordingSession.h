// Test support: a session that records what the render driver asks of it, in a transcript, and
// throws on request; a fixture that starts each test on a fresh host; and small helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <brevant/client.hpp>
#include "host/simulator/RenderDriver.h"
#include "session/RQSession.h"

namespace host_simulator_test {

struct Recorder {
    std::vector<std::string> transcript;  // one line per operation: "DescribeBegin Demo", "Update 2 frame 1/4", "dtor"
    std::map<std::string, std::function<void()>> raise;  // operation name -> what it throws instead of completing
};

inline Recorder& TheRecorder() {
    static Recorder recorder;
    return recorder;
}
inline void ResetRecorder() { TheRecorder() = Recorder{}; }

inline std::string Utf8(const HostString& text) { return brevant_client::Utf16ToUtf8(text.data(), text.size()); }

class RecordingSession : public RQSession {
public:
    ~RecordingSession() override { TheRecorder().transcript.push_back("dtor"); }
    void DescribeBegin(const HostString& projectName) override { Note("DescribeBegin " + Utf8(projectName)); }
    void DescribeEnd() override { Note("DescribeEnd"); }
    void DescribeAddItem(int32_t queueIndex, HostRenderItem& item) override {
        Note("DescribeAddItem " + std::to_string(queueIndex));
        // As the plug-in does: every file-based module's path is resolved while describing.
        const HostOutputModuleList modules = HostRenderItemOutputModules(&item);
        for (uint64_t i = 0; i < modules.count; ++i)
            if (HostOutputModuleIsFileBased(modules.modules[i]) && HostOutputModuleHasFilePath(modules.modules[i]))
                HostFlattenOutputModuleFilePath(&item, modules.modules[i]);
    }
    void RenderItemStart(void*) override { Note("RenderItemStart"); }
    void RenderItemEnd(void*, int32_t hostStatus) override { Note("RenderItemEnd " + std::to_string(hostStatus)); }
    void RenderItemUpdate(HostRenderQueue*, HostFrameUpdate* update) override {
        Note("Update " + std::to_string(update->updateStatus) + " frame " + std::to_string(update->frameId) + "/" +
             std::to_string(update->framesTotal) + (update->frameBuffer ? " picture" : ""));
    }
    void Log(uint32_t messageType, const char* message) override { Note("Log " + std::to_string(messageType) + " " + message); }

private:
    static void Note(const std::string& line) {
        Recorder& recorder = TheRecorder();
        recorder.transcript.push_back(line);
        const auto raise = recorder.raise.find(line.substr(0, line.find(' ')));
        if (raise != recorder.raise.end()) raise->second();
    }
};

inline const BrevantProviderSuite1& RecordingProvider() {
    static const BrevantProviderSuite1 provider{[](std::shared_ptr<RQSession>* out) -> HostErr {
        return out ? (*out = std::make_shared<RecordingSession>(), 0) : 1;
    }};
    return provider;
}

// Parses a job and fails the test when it does not parse.
inline std::unique_ptr<brevant_host::Job> MustParse(const std::string& text) {
    std::string error;
    auto job = brevant_host::ParseJob(text, "test.json", &error);
    EXPECT_NE(job, nullptr) << error;
    return job;
}

// A fresh directory under the system's temporary directory, removed with its contents.
struct ScratchDirectory {
    explicit ScratchDirectory(const std::string& name)
        : path(std::filesystem::temp_directory_path() / ("host_simulator_" + std::to_string(::getpid()) + "_" + name)) {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~ScratchDirectory() { std::error_code error; std::filesystem::remove_all(path, error); }
    const std::filesystem::path path;
};

// A path written with '/' in the form the host gives it back: absolute and normal, and on
// Windows on the current drive with backslashes.
inline std::string NativePath(const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal().make_preferred().string();
}

// A fresh host, recorder and recorded log for every test.
class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override {
        brevant_host::ResetHost();
        brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
        ResetRecorder();
    }
    void TearDown() override { brevant_host::ResetHost(); }
};

}  // namespace host_simulator_test
