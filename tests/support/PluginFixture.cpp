#include "support/PluginFixture.h"

#include "support/Listeners.h"


namespace brevant_test {

std::vector<std::string> LinesOf(const std::string& tag) {
    std::vector<std::string> lines;
    for (const auto& line : brevant_host::RecordedLog()) {
        if (line.tag == tag) lines.push_back(line.function + ": " + line.message);
    }
    return lines;
}

std::vector<std::string> AllLines() {
    std::vector<std::string> lines;
    for (const auto& line : brevant_host::RecordedLog()) {
        lines.push_back("[" + line.tag + "] " + line.function + ": " + line.message);
    }
    return lines;
}

size_t CountLines(const std::string& tag, const std::string& function, const std::string& message) {
    size_t count = 0;
    for (const auto& line : brevant_host::RecordedLog()) {
        if (line.tag == tag && line.function == function && line.message == message) ++count;
    }
    return count;
}

bool HasLine(const std::string& tag, const std::string& function, const std::string& message) {
    return CountLines(tag, function, message) > 0;
}

std::string Utf8(const HostString& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string TakeString(HostMemoryHandle handle) {
    HostString text;
    EXPECT_TRUE(brevant_host::ReadStringHandle(handle, &text));
    const void* table = nullptr;
    brevant_host::BasicSuite()->AcquireSuite(kHostMemorySuite, kHostMemorySuiteVersion, &table);
    static_cast<const HostMemorySuite1*>(table)->MemFree(handle);
    brevant_host::BasicSuite()->ReleaseSuite(kHostMemorySuite, kHostMemorySuiteVersion);
    return Utf8(text);
}

void PluginFixture::SetUp() {
    brevant_host::ResetHost();
    brevant_host::SetMainThread();
    ClearListeners();
    brevant_host::SetLogSink(brevant_host::LogSink::Recorder);
    StartPlugin();
}

void PluginFixture::StartPlugin() {
    std::string error;
    ASSERT_TRUE(brevant_host::LoadPlugin(BREVANT_PLUGIN_PATH, &plugin_, &error)) << error;
    ASSERT_EQ(plugin_.entryResult, 0);
    const void* table = nullptr;
    const HostBasicSuite* basic = brevant_host::BasicSuite();
    ASSERT_EQ(basic->AcquireSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion, &table), 0);
    suite_ = static_cast<const BrevantMonitorSuite1*>(table);
    ASSERT_EQ(basic->AcquireSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion, &table), 0);
    provider_ = static_cast<const BrevantProviderSuite1*>(table);
    suitesHeld_ = true;
}

void PluginFixture::StopPlugin() {
    if (suitesHeld_) {
        brevant_host::BasicSuite()->ReleaseSuite(kBrevantMonitorSuite, kBrevantMonitorSuiteVersion);
        brevant_host::BasicSuite()->ReleaseSuite(kBrevantProviderSuite, kBrevantProviderSuiteVersion);
        suitesHeld_ = false;
    }
    brevant_host::RunDeathHooks();
}

void PluginFixture::TearDown() {
    StopPlugin();
    if (leakCheck_) {
        const std::vector<std::string> leaks = brevant_host::LeakReport();
        for (const auto& leak : leaks) ADD_FAILURE() << "leak: " << leak;
    }
    brevant_host::SetLogSink(brevant_host::LogSink::Off);
}

int64_t PluginFixture::LastSessionId() {
    int64_t id = -1;
    for (const auto& line : brevant_host::RecordedLog()) {
        if (line.tag == "BrevantPlugin" && line.function == "SessionCreate") id = std::stoll(line.message.substr(3));
    }
    return id;
}

std::shared_ptr<RQSession> PluginFixture::StartSession() {
    std::shared_ptr<RQSession> session;
    EXPECT_EQ(provider_->Brevant_StartSession(&session), 0);
    return session;
}

}  // namespace brevant_test
