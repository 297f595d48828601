#include "RecordingSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace host_records_test {
namespace {

class RecordingSession : public RQSession {
public:
    ~RecordingSession() override { TheRecorder().transcript.push_back("dtor"); }

    void DescribeBegin(const HostString& projectName) override {
        Note("DescribeBegin " + Utf8(projectName));
    }
    void DescribeEnd() override { Note("DescribeEnd"); }
    void DescribeAddItem(int32_t queueIndex, HostRenderItem& item) override {
        Note("DescribeAddItem " + std::to_string(queueIndex));
        // As the plug-in does: every file-based module's path is resolved while describing.
        const HostOutputModuleList modules = HostRenderItemOutputModules(&item);
        for (uint64_t i = 0; i < modules.count; ++i) {
            if (HostOutputModuleIsFileBased(modules.modules[i]) && HostOutputModuleHasFilePath(modules.modules[i])) {
                HostFlattenOutputModuleFilePath(&item, modules.modules[i]);
            }
        }
    }
    void RenderItemStart(void*) override { Note("RenderItemStart"); }
    void RenderItemEnd(void*, int32_t hostStatus) override { Note("RenderItemEnd " + std::to_string(hostStatus)); }
    void RenderItemUpdate(HostRenderQueue*, HostFrameUpdate* update) override {
        Note("Update " + std::to_string(update->updateStatus) + " frame " + std::to_string(update->frameId) + "/" +
             std::to_string(update->framesTotal) + (update->frameBuffer ? " picture" : ""));
    }
    void Log(uint32_t messageType, const char* message) override {
        Note("Log " + std::to_string(messageType) + " " + message);
    }

private:
    static void Note(const std::string& line) {
        Recorder& recorder = TheRecorder();
        recorder.transcript.push_back(line);
        const std::string operation = line.substr(0, line.find(' '));
        const auto raise = recorder.raise.find(operation);
        if (raise != recorder.raise.end()) raise->second();
    }
};

HostErr StartRecordingSession(std::shared_ptr<RQSession>* out_session) {
    if (!out_session) return 1;
    *out_session = std::make_shared<RecordingSession>();
    return 0;
}

}  // namespace

Recorder& TheRecorder() {
    static Recorder recorder;
    return recorder;
}

void ResetRecorder() { TheRecorder() = Recorder{}; }

const BrevantProviderSuite1& RecordingProvider() {
    static const BrevantProviderSuite1 provider{&StartRecordingSession};
    return provider;
}

// The tests' texts are ASCII.
std::string Utf8(const HostString& text) {
    std::string out;
    for (char16_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
    return out;
}

HostString Utf16(const std::string& text) {
    HostString out;
    for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

std::unique_ptr<brevant_host::Job> MustParse(const std::string& text) {
    std::string error;
    auto job = brevant_host::ParseJob(text, "test.json", &error);
    EXPECT_NE(job, nullptr) << error;
    return job;
}

ScratchDirectory::ScratchDirectory(const std::string& name)
    : path_(std::filesystem::temp_directory_path() / ("host_records_" + std::to_string(::getpid()) + "_" + name)) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

}  // namespace host_records_test
