// Test support: a session that records what the render driver asks of it, in a transcript, and
// throws on request; a fixture that starts each test on a fresh host; and small helpers for
// jobs, strings and scratch directories.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/Job.h"
#include "session/RQSession.h"

namespace host_records_test {

struct Recorder {
    // One line per session operation: "DescribeBegin Demo", "DescribeAddItem 0",
    // "Update 2 frame 1/4", "Log 4 text", "RenderItemEnd 6", "dtor" ...
    std::vector<std::string> transcript;
    // Operation name -> what it throws instead of completing.
    std::map<std::string, std::function<void()>> raise;
};

// Cleared by ResetRecorder; the provider's sessions write to it.
Recorder& TheRecorder();
void ResetRecorder();
const BrevantProviderSuite1& RecordingProvider();

std::string Utf8(const HostString& text);
HostString Utf16(const std::string& text);

// Parses a job and fails the test when it does not parse.
std::unique_ptr<brevant_host::Job> MustParse(const std::string& text);

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& name);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string String() const { return path_.string(); }

private:
    std::filesystem::path path_;
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

}  // namespace host_records_test
