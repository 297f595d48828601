// The publisher's payloads through its sink and clock, with every value pinned: two jobs in one
// host process, scripted event by event, give a transcript of every message (topic, retained,
// QoS, payload) compared line by line with the reviewed publisher.golden. The same payloads reach
// a real broker in test_publisher.py, which checks them against the wire's schema.
// BREVANT_UPDATE_GOLDEN=1 writes the transcript instead, for review.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "farm/publisher/Config.h"
#include "farm/publisher/Publisher.h"

namespace farm_publisher {
namespace {

constexpr int64_t kStart = 1796641323123000;  // 2026-12-07T11:02:03.123Z

struct Farm {
    int64_t now = kStart;
    std::ostringstream transcript;
    Publisher publisher{Config{}, Identity{"p", "m1", kStart, 42},
                        [this](Message m) {
                            transcript << m.topic << (m.retained ? " retained" : "") << " qos " << m.qos << " ";
                            if (m.payload.empty()) transcript << "(empty)";
                            else if (m.topic.find("thumbnail") == std::string::npos) transcript << m.payload;
                            else for (unsigned char byte : m.payload) transcript << std::hex << int{byte} << std::dec;
                            transcript << "\n";
                        },
                        [this] { return now; }};
};

ItemDescription Item(int64_t id, const char* comp) {
    ItemDescription item{id, {}, {{{"OutputModuleIndex", "0"}}}, {"w"}};
    if (comp != nullptr) item.renderSettings = {{"CompName", comp}};
    return item;
}

// One output module: written bytes, the disk and its free bytes (the host's estimate is 7).
KeyValueList Output(const char* path, const char* disk, uint64_t bytes, uint64_t freeBytes) {
    return {{"OutputTo", path}, {"Disk", disk}, {"FileSize", std::to_string(bytes)},
            {"EstFinalSize", "7"}, {"DiskSpace", std::to_string(freeBytes)}};
}

TEST(Publisher, TwoJobsGiveTheReviewedTranscript) {
    Farm farm;
    Publisher& publisher = farm.publisher;
    const std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xD9};
    // Job 1: an item named by its composition, one with an empty name, one without settings.
    publisher.JobBegin(7, {"Proj \"A\"", "23.0", {Item(1, "Main"), Item(2, ""), Item(3, nullptr)}});
    publisher.ItemStart(7, 1);
    farm.now += 250000;
    // Frame ids need not start at 1: the projection counts the frames done.
    publisher.Frame(7, 1, 101, {{{"FramesTotal", "4"}, {"ElapsedTime", "250"}, {"RemainingTime", "750"}},
                                {Output("/r/a.jpg", "/", 1000, 5000)}, jpeg});
    // No remaining time from the host and no output figures: none sent.
    publisher.Frame(7, 1, 102, {{{"FramesTotal", "4"}, {"ElapsedTime", "300"}}, {}, std::nullopt});
    publisher.Log(7, 1, 1, "half \"way\"");
    publisher.ItemEnd(7, 1, kListenerStatusFailed);
    farm.now += 1000;
    publisher.ItemStart(7, 2);
    // The disk fills when the growth still to come of all the item's outputs on it exceeds its
    // free bytes: a fits; b and c fill theirs together; d fills its own; e writes no file.
    publisher.Frame(7, 2, 1, {{{"FramesTotal", "4"}},
                              {Output("a", "/a", 100, 300), Output("b", "/b", 100, 400), Output("c", "/b", 100, 400),
                               Output("d", "/d", 100, 299), Output("e", "", 100, 0)},
                              std::nullopt});
    publisher.ItemEnd(7, 2, kListenerStatusStopped);
    publisher.JobEnd(7);
    // Job 2 in the same host process: item topics of job 1 that it lacks are cleared.
    farm.now += 1000;
    publisher.JobBegin(8, {"Next", "23.0", {Item(2, "B"), Item(4, "D"), Item(5, "E")}});
    publisher.ItemStart(8, 4);
    publisher.ItemEnd(8, 4, 99);  // a status the host does not define: failed
    publisher.ItemStart(8, 5);
    publisher.ItemEnd(8, 5, kListenerStatusDone);
    publisher.ItemStart(8, 2);
    publisher.JobEnd(8);  // item 2 still rendering: stopped
    // The status: the last will, fixed at connect; then online with the link's figures.
    const Identity identity{"p", "m1", kStart, 42};
    const LinkFigures figures{{1, 2}, {3, 4}, 5, 6, 7};
    farm.transcript << StatusPayload(identity, farm_wire::kOffline, farm_wire::kReasonLost, nullptr, std::nullopt) << "\n"
                    << StatusPayload(identity, farm_wire::kOnline, {}, &figures, kStart + 1000) << "\n";

    const std::string golden = std::string(BREVANT_SOURCE_DIR) + "/tests/farm/publisher/publisher.golden";
    if (std::getenv("BREVANT_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(golden) << farm.transcript.str();
        return;
    }
    std::ifstream file(golden);
    std::string expected, line;
    std::istringstream got(farm.transcript.str());
    for (int number = 1; std::getline(file, expected); ++number) {
        ASSERT_TRUE(std::getline(got, line)) << "publisher.golden:" << number << " is missing: " << expected;
        EXPECT_EQ(line, expected) << "publisher.golden:" << number;
    }
    EXPECT_FALSE(std::getline(got, line)) << "more than publisher.golden holds: " << line;
}

TEST(Publisher, ThumbnailsAreDueOnAnItemsFirstFrameThenEveryPeriod) {
    Farm farm;  // thumbnails every 10 s
    Publisher& publisher = farm.publisher;
    publisher.JobBegin(1, {"P", "", {Item(1, "A"), Item(2, "B")}});
    publisher.ItemStart(1, 1);
    const FrameReading withThumbnail{{}, {}, std::vector<uint8_t>{0xFF, 0xD8}};
    EXPECT_TRUE(publisher.ThumbnailDue(1));
    publisher.Frame(1, 1, 1, withThumbnail);
    farm.now += 9999999;
    EXPECT_FALSE(publisher.ThumbnailDue(1));
    EXPECT_TRUE(publisher.ThumbnailDue(2));  // another item's first frame
    farm.now += 1;
    EXPECT_TRUE(publisher.ThumbnailDue(1));
    publisher.ItemStart(1, 2);
    publisher.Frame(1, 2, 1, withThumbnail);
    EXPECT_TRUE(publisher.ThumbnailDue(1));  // the period is the item's own

    Config off;
    off.thumbSeconds = 0;
    Publisher none(off, Identity{"p", "m", 0, 1}, [](Message) {}, [] { return int64_t{0}; });
    EXPECT_FALSE(none.ThumbnailDue(1));
}

std::string Describe(const Config& c) {
    return c.Broker() + " " + c.prefix + " " + c.machine + " " + std::to_string(c.queueBytes) + " " +
           std::to_string(c.thumbSeconds) + " " + std::to_string(c.thumbWidth) + "x" + std::to_string(c.thumbHeight) +
           " " + std::to_string(c.keepaliveSeconds) + " " + std::to_string(c.statusSeconds) + " " +
           std::to_string(c.shutdownWaitMs) + " [" + c.username + ":" + c.password + "] " + c.caFile + c.certFile +
           c.keyFile;
}

TEST(PublisherConfig, EverySettingIsReadOrRefusedWithItsName) {
    const char* const defaults = "127.0.0.1:1883 brevant host_name 4194304 10 320x180 10 10 2000 [:] ";
    // $DIR: a folder of the test's with farm.toml (`file`, named by BREVANT_FARM_CONFIG when
    // given), secret ("s3cret" and CRLF) and empty.
    const struct {
        std::vector<std::pair<const char*, const char*>> env;
        const char* expected;  // what was read, or the start of the refusal
        const char* file = nullptr;
    } rows[] = {
        {{}, defaults},
        {{{"BREVANT_FARM_BROKER", "b.local"}, {"BREVANT_FARM_PREFIX", "site/a"}, {"BREVANT_FARM_MACHINE", "r#7/x"},
          {"BREVANT_FARM_QUEUE_BYTES", "1024"}, {"BREVANT_FARM_THUMB_SECONDS", "0"}, {"BREVANT_FARM_THUMB_SIZE", "4096x1"},
          {"BREVANT_FARM_KEEPALIVE", "5"}, {"BREVANT_FARM_STATUS_SECONDS", "1"}, {"BREVANT_FARM_SHUTDOWN_WAIT_MS", "0"},
          {"BREVANT_FARM_USERNAME", "u"}, {"BREVANT_FARM_PASSWORD", "pw"}},
         "b.local:1883 site/a r_7_x 1024 0 4096x1 5 1 0 [u:pw] "},
        {{{"BREVANT_FARM_BROKER", "[::1]:1884"}, {"BREVANT_FARM_CAFILE", "/dev/null"},
          {"BREVANT_FARM_CERTFILE", "/dev/null"}, {"BREVANT_FARM_KEYFILE", "/dev/null"}},
         "::1:1884 brevant host_name 4194304 10 320x180 10 10 2000 [:] /dev/null/dev/null/dev/null"},
        {{{"BREVANT_FARM_BROKER", "[::1]"}}, "::1:1883 brevant host_name 4194304 10 320x180 10 10 2000 [:] "},
        {{{"BREVANT_FARM_BROKER", "b:0"}}, "BREVANT_FARM_BROKER: expected HOST or HOST:PORT (port 1 to 65535), got \"b:0\""},
        {{{"BREVANT_FARM_BROKER", "b:"}}, "BREVANT_FARM_BROKER: expected"},
        {{{"BREVANT_FARM_BROKER", "a b"}}, "BREVANT_FARM_BROKER: expected"},
        {{{"BREVANT_FARM_BROKER", "[::1"}}, "BREVANT_FARM_BROKER: expected"},
        {{{"BREVANT_FARM_PREFIX", "a//b"}}, "BREVANT_FARM_PREFIX: expected"},
        {{{"BREVANT_FARM_PREFIX", "a/+"}}, "BREVANT_FARM_PREFIX: expected"},
        {{{"BREVANT_FARM_MACHINE", ""}}, "BREVANT_FARM_MACHINE: expected a machine name"},
        {{{"BREVANT_FARM_QUEUE_BYTES", "1023"}}, "BREVANT_FARM_QUEUE_BYTES: expected a number of bytes, at least 1024"},
        {{{"BREVANT_FARM_THUMB_SECONDS", "86401"}}, "BREVANT_FARM_THUMB_SECONDS: expected"},
        {{{"BREVANT_FARM_THUMB_SIZE", "4097x1"}}, "BREVANT_FARM_THUMB_SIZE: expected WIDTHxHEIGHT"},
        {{{"BREVANT_FARM_THUMB_SIZE", "0x5"}}, "BREVANT_FARM_THUMB_SIZE: expected"},
        {{{"BREVANT_FARM_THUMB_SIZE", "320"}}, "BREVANT_FARM_THUMB_SIZE: expected"},
        {{{"BREVANT_FARM_KEEPALIVE", "4"}}, "BREVANT_FARM_KEEPALIVE: expected"},
        {{{"BREVANT_FARM_STATUS_SECONDS", "0"}}, "BREVANT_FARM_STATUS_SECONDS: expected"},
        {{{"BREVANT_FARM_SHUTDOWN_WAIT_MS", "600001"}}, "BREVANT_FARM_SHUTDOWN_WAIT_MS: expected"},
        {{{"BREVANT_FARM_PASSWORD", "pw"}}, "BREVANT_FARM_PASSWORD is set but BREVANT_FARM_USERNAME is not"},
        {{{"BREVANT_FARM_CAFILE", "/nonexistent/ca.crt"}}, "BREVANT_FARM_CAFILE: cannot read /nonexistent/ca.crt"},
        {{{"BREVANT_FARM_CAFILE", "/dev/null"}, {"BREVANT_FARM_CERTFILE", "/dev/null"}},
         "BREVANT_FARM_CERTFILE and BREVANT_FARM_KEYFILE go together"},
        {{{"BREVANT_FARM_CERTFILE", "/dev/null"}, {"BREVANT_FARM_KEYFILE", "/dev/null"}},
         "BREVANT_FARM_CERTFILE needs BREVANT_FARM_CAFILE"},
        {{{"BREVANT_FARM_BROKR", "x"}}, "unknown setting BREVANT_FARM_BROKR"},
        {{{"BREVANT_FARM_PASSWORD_FILE", "$DIR/empty"}, {"BREVANT_FARM_USERNAME", "u"}},
         "BREVANT_FARM_PASSWORD_FILE: $DIR/empty is empty"},
        {{{"BREVANT_FARM_PASSWORD", "pw"}, {"BREVANT_FARM_PASSWORD_FILE", "$DIR/secret"}},
         "BREVANT_FARM_PASSWORD and BREVANT_FARM_PASSWORD_FILE: give the password or its file, not both"},
        {{{"BREVANT_FARM_CONFIG", "$DIR/none.toml"}}, "BREVANT_FARM_CONFIG: cannot read $DIR/none.toml"},
        // The file, TOML's simple cases too; the environment wins over it.
        {{{"BREVANT_FARM_THUMB_SIZE", "100x50"}},
         "b.local:1884 site/a host_name 4194304 10 100x50 10 10 2000 [u:s3cret] ",
         "\xEF\xBB\xBF# farm\r\n\nbroker = \"b.local:1884\"  # the studio's\nprefix = site/a\nthumb_size = \"64x32\"\n"
         "username=\"u\"\npassword_file = '$DIR/secret'\n"},  // a Windows path's \ is no escape in '...'
        {{{"BREVANT_FARM_PASSWORD", "pw"}}, "127.0.0.1:1883 brevant host_name 4194304 10 320x180 10 10 2000 [u:pw] ",
         "username = u\npassword_file = $DIR/none\n"},
        {{}, "$DIR/farm.toml:3: thumb_seconds: expected whole seconds", "\n# x\nthumb_seconds = 86401\n"},
        {{}, "$DIR/farm.toml:1: unknown key \"brokr\"", "brokr = x\n"},
        {{}, "$DIR/farm.toml:1: unknown key \"Broker\"", "Broker = x\n"},
        {{}, "$DIR/farm.toml:1: unknown key \"config\"", "config = x\n"},
        {{}, "$DIR/farm.toml:1: sections are not used", "[farm]\n"},
        {{}, "$DIR/farm.toml:1: expected key = value", "broker\n"},
        {{}, "$DIR/farm.toml:1: prefix: expected a closing quote", "prefix = \"a\n"},
        {{}, "$DIR/farm.toml:1: prefix: expected nothing after the value", "prefix = \"a\" b\n"},
        {{}, "$DIR/farm.toml:2: machine is given twice", "machine = m\nmachine = n\n"},
    };
    const std::string dir = (std::filesystem::temp_directory_path() /
                             ("brevant-config-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count())))
                                .string();
    std::filesystem::create_directories(dir);
    auto expand = [&](std::string text) {
        for (size_t at; (at = text.find("$DIR")) != std::string::npos;) text.replace(at, 4, dir);
        return text;
    };
    std::ofstream(dir + "/secret", std::ios::binary) << "s3cret\r\n";
    std::ofstream(dir + "/empty", std::ios::binary).close();
    for (const auto& row : rows) {
        std::vector<std::pair<std::string, std::string>> env;
        for (const auto& [name, value] : row.env) env.emplace_back(name, expand(value));
        if (row.file != nullptr) {
            std::ofstream(dir + "/farm.toml", std::ios::binary) << expand(row.file);
            env.emplace_back("BREVANT_FARM_CONFIG", dir + "/farm.toml");
        }
        std::vector<std::string> names = {"PATH", "HOME"};
        for (const auto& [name, value] : env) names.push_back(name);
        auto lookup = [&](const char* name) -> const char* {
            for (const auto& [key, value] : env)
                if (key == name) return value.c_str();
            return nullptr;
        };
        Config config;
        config.prefix = "untouched";
        std::string error;
        const bool read = ReadConfig(lookup, names, "host/name", &config, &error);
        const std::string what = row.file ? row.file : row.env.empty() ? "defaults" : row.env[0].first;
        const std::string expected = expand(row.expected);
        EXPECT_EQ(read ? Describe(config) : error.substr(0, expected.size()), expected) << what;
        EXPECT_EQ(config.prefix, read ? config.prefix : "untouched") << what;
    }
    std::filesystem::remove_all(dir);
    EXPECT_FALSE(ReadConfig(nullptr, {}, "h", nullptr, nullptr));
}

}  // namespace
}  // namespace farm_publisher
