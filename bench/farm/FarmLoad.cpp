// farm_load: a render farm of N simulated machines in one light process, for measuring
// brevant-dashboard at farm scale (bench/farm/scale.py). Each machine publishes what the farm
// publisher does (docs/mqtt-topics.md): its online status (retained, refreshed every
// --status-seconds at QoS 0), its job (retained, QoS 1) with one rendering item, the job's events
// (QoS 1), and a progress message (retained, QoS 0) per frame at --fps. Frames of all machines
// are spread evenly over time, not sent in bursts: message k of the run goes at k / (N * fps)
// seconds, from machine k % N.
//
// Every payload is built once per machine; a frame only overwrites, in place, the fields that
// change (time, ts, frame numbers, bytes written) in slots of fixed width padded with spaces,
// which JSON allows between tokens. Jobs are long (--frames, default ten minutes of frames) and
// each machine starts at a different frame, so jobs end and begin all through a run; one machine
// in 100 has its job's first item failed (it renders the second), one in 100 stalls for 20 frames
// of every 60.
//
//   farm_load --machines 10000 --fps 0.5 --seconds 600 [--prefix brevant] [--host 127.0.0.1] [--port 1883]
//   farm_load --print-sample      one payload of each kind, "TOPIC QOS RETAIN PAYLOAD" per line
#include <mosquitto.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace {

int64_t NowMicros() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// "2026-12-07T11:02:03.123Z": 24 characters.
constexpr size_t kIsoLength = 24;
void FormatIso(int64_t micros, char* out) {
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", (utc.tm_year + 1900) % 10000,
                  (utc.tm_mon + 1) % 100, utc.tm_mday % 100, utc.tm_hour % 100, utc.tm_min % 100, utc.tm_sec % 100,
                  static_cast<int>(micros / 1000 % 1000));
    std::memcpy(out, text, kIsoLength);
}

std::string Iso(int64_t micros) {
    std::string text(kIsoLength, ' ');
    FormatIso(micros, text.data());
    return text;
}

// A payload built once with slots for the values that change: a number is written left-aligned
// in its slot and the rest of the slot is spaces.
class Template {
public:
    Template& Text(const std::string& text) {
        text_ += text;
        return *this;
    }
    // A slot of `width` characters; returns its index for Set.
    size_t Slot(size_t width) {
        slots_.push_back({text_.size(), width});
        text_.append(width, ' ');
        return slots_.size() - 1;
    }
    void Set(size_t slot, int64_t value) {
        char digits[24];
        const int length = std::snprintf(digits, sizeof digits, "%" PRId64, value);
        const Place& place = slots_[slot];
        const size_t n = std::min(static_cast<size_t>(length), place.width);
        std::memcpy(&text_[place.offset], digits, n);
        std::memset(&text_[place.offset + n], ' ', place.width - n);
    }
    void SetIso(size_t slot, int64_t micros) { FormatIso(micros, &text_[slots_[slot].offset]); }
    const std::string& text() const { return text_; }

private:
    struct Place {
        size_t offset, width;
    };
    std::string text_;
    std::vector<Place> slots_;
};

const char* const kProjects[] = {"shot_010.aep", "shot_020.aep", "shot_030.aep", "trailer_v12.aep",
                                 "promo_30s.aep", "titles_main.aep", "ident_loop.aep", "spot_en_de.aep"};
const char* const kComps[] = {"Comp 1", "Main", "Lower Third"};
constexpr int64_t kBytesPerFrame = 350000;
constexpr int64_t kFreeBytes = 2000000000000;

struct Options {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "brevant";
    int machines = 100;
    double fps = 1;
    double seconds = 10;
    int64_t frames = 0;  // per item; 0: ten minutes of frames at --fps
    double statusSeconds = 10;
    double settleSeconds = 120;
    bool printSample = false;
};

struct Machine {
    std::string name, base;  // base: "P/M/"
    int project = 0;
    bool failsFirstItem = false, stalls = false;
    int64_t session = 0, seq = 0, done = 0, startedAt = 0;
    int item = 1;  // the item rendering: 2 when the first failed
    Template progress;
    size_t time = 0, ts = 0, sessionSlot = 0, frameId = 0, framesDone = 0, elapsed = 0, remaining = 0, bytes = 0;
    std::string progressTopic;
};

class Link {
public:
    // Publishes to the broker, or prints every message (--print-sample) when `print` is set.
    Link(const Options& options, bool print) : print_(print) {
        if (print_) return;
        mosquitto_lib_init();
        const std::string id = "farm-load-" + std::to_string(NowMicros());
        mosq_ = mosquitto_new(id.c_str(), true, nullptr);
        if (mosq_ == nullptr) throw std::runtime_error("mosquitto_new failed");
        mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
        // QoS 1 messages beyond the in-flight bound wait in libmosquitto's queue while later
        // frames (QoS 0) go ahead of them; the start-up burst is therefore acknowledged in full
        // before the first frame (Settle). A larger bound costs: every acknowledgement is looked
        // up in a list of the messages in flight.
        mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, 1000);
        mosquitto_user_data_set(mosq_, this);
        mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int) { ++static_cast<Link*>(self)->acknowledged; });
        if (mosquitto_connect(mosq_, options.host.c_str(), options.port, 60) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error("cannot connect to the broker at " + options.host + ":" + std::to_string(options.port));
        }
    }
    ~Link() {
        if (mosq_ == nullptr) return;
        mosquitto_disconnect(mosq_);
        mosquitto_destroy(mosq_);
        mosquitto_lib_cleanup();
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
        ++messages;
        bytes += static_cast<int64_t>(payload.size());
        if (print_) {
            // One of each kind: the topic's last level, the QoS, and for events and jobs what they say.
            std::string kind = topic.substr(topic.rfind('/') + 1) + std::to_string(qos);
            for (const char* mark : {"\"event\":\"", "\"state\":\"", "\"failed\""}) {
                const size_t at = payload.find(mark);
                if (at != std::string::npos) kind += payload.substr(at, 22);
            }
            if (std::find(printed_.begin(), printed_.end(), kind) != printed_.end()) return;
            printed_.push_back(kind);
            std::printf("%s %d %d %s\n", topic.c_str(), qos, retain ? 1 : 0, payload.c_str());
            return;
        }
        const int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                         qos, retain);
        if (rc != MOSQ_ERR_SUCCESS) ++failed;
    }
    // Serves the connection until every message is out (libmosquitto reports a QoS 0 message
    // when written, a QoS 1 one when acknowledged), for at most `seconds`.
    void Settle(double seconds) {
        if (print_) return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (acknowledged < messages && std::chrono::steady_clock::now() < deadline) {
            if (mosquitto_loop(mosq_, 10, 1) != MOSQ_ERR_SUCCESS) {
                ++reconnects;
                mosquitto_reconnect(mosq_);
            }
        }
    }
    // Reads and writes what the socket allows now; reconnects when the broker went away.
    void Service() {
        if (print_) return;
        if (mosquitto_loop(mosq_, 0, 1) != MOSQ_ERR_SUCCESS) {
            ++reconnects;
            mosquitto_reconnect(mosq_);
        }
    }
    bool Pending() const { return !print_ && mosquitto_want_write(mosq_); }

    int64_t messages = 0, bytes = 0, failed = 0, reconnects = 0, acknowledged = 0;

private:
    bool print_;
    mosquitto* mosq_ = nullptr;
    std::vector<std::string> printed_;
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Header(const Machine& m, int64_t now) {
    return "{\"schema\":1,\"machine\":" + Quoted(m.name) + ",\"time\":" + Quoted(Iso(now)) + ",\"ts\":" + std::to_string(now);
}

std::string StatusPayload(const Machine& m, int64_t now, int64_t startedAt, const Link& link) {
    return Header(m, now) + ",\"state\":\"online\",\"client\":\"farm_publisher\",\"version\":\"1.0.0\",\"startedAt\":" +
           Quoted(Iso(startedAt)) + ",\"pid\":" + std::to_string(10000 + m.project) +
           ",\"dropped\":{\"messages\":0,\"bytes\":0},\"published\":{\"messages\":" + std::to_string(link.messages) +
           ",\"bytes\":" + std::to_string(link.bytes) +
           "},\"queue\":{\"bytes\":0,\"limitBytes\":4194304},\"connects\":1}";
}

std::string ItemJson(int id, const std::string& name, const char* state, int64_t done) {
    return "{\"item\":" + std::to_string(id) + ",\"name\":" + Quoted(name) + ",\"state\":\"" + state +
           "\",\"framesDone\":" + std::to_string(done) + ",\"renderSettings\":[{\"key\":\"CompName\",\"value\":" +
           Quoted(name) + "},{\"key\":\"Quality\",\"value\":\"Best\"}],\"outputModules\":[[{\"key\":\"Format\",\"value\":"
           "\"QuickTime\"},{\"key\":\"OutputTo\",\"value\":\"/renders/" + name + ".mov\"}]],\"warnings\":[]}";
}

std::string JobPayload(const Machine& m, int64_t now, int64_t total, bool ended) {
    const std::string comp = kComps[m.project % 3];
    std::string items = "[";
    if (m.failsFirstItem) items += ItemJson(1, "Precomp", "failed", total / 3) + ",";
    items += ItemJson(m.item, comp, ended ? "done" : "rendering", ended ? total : m.done);
    items += "]";
    const int failed = m.failsFirstItem ? 1 : 0;
    return Header(m, now) + ",\"session\":" + std::to_string(m.session) + ",\"state\":\"" +
           (ended ? "ended" : "rendering") + "\",\"project\":" + Quoted(kProjects[m.project]) +
           ",\"appVersion\":\"23.0.0 (farm_load)\",\"startedAt\":" + Quoted(Iso(m.startedAt)) +
           ",\"endedAt\":" + (ended ? Quoted(Iso(now)) : "null") + ",\"items\":" + items +
           ",\"counts\":{\"done\":" + std::to_string(ended ? 1 : 0) + ",\"stopped\":0,\"failed\":" +
           std::to_string(failed) + ",\"notStarted\":0}}";
}

std::string EventPayload(Machine& m, int64_t now, const char* event, const std::string& fields) {
    return Header(m, now) + ",\"session\":" + std::to_string(m.session) + ",\"seq\":" + std::to_string(++m.seq) +
           ",\"event\":\"" + event + "\"" + fields + "}";
}

void BuildProgress(Machine& m, const Options& options, int64_t total) {
    Template& t = m.progress;
    t.Text("{\"schema\":1,\"machine\":" + Quoted(m.name) + ",\"time\":\"");
    m.time = t.Slot(kIsoLength);
    t.Text("\",\"ts\":");
    m.ts = t.Slot(16);
    t.Text(",\"session\":");
    m.sessionSlot = t.Slot(10);
    t.Text(",\"item\":" + std::to_string(m.item) + ",\"frameId\":");
    m.frameId = t.Slot(10);
    t.Text(",\"framesDone\":");
    m.framesDone = t.Slot(10);
    t.Text(",\"framesTotal\":" + std::to_string(total) + ",\"elapsedMs\":");
    m.elapsed = t.Slot(12);
    t.Text(",\"remainingMs\":");
    m.remaining = t.Slot(12);
    char fps[32];
    std::snprintf(fps, sizeof fps, "%.3f", options.fps);
    t.Text(",\"fps\":" + std::string(fps) + ",\"outputs\":[{\"path\":\"/renders/" + m.name + "/" +
           kComps[m.project % 3] + ".mov\",\"disk\":\"/renders\",\"bytes\":");
    m.bytes = t.Slot(16);
    const std::string projected = std::to_string(total * kBytesPerFrame);
    t.Text(",\"projectedBytes\":" + projected + ",\"hostEstimateBytes\":" + projected + ",\"freeBytes\":" +
           std::to_string(kFreeBytes) + ",\"willFill\":false}]}");
    m.progressTopic = m.base + "items/" + std::to_string(m.item) + "/progress";
}

class Farm {
public:
    Farm(const Options& options, Link& link) : options_(options), link_(link) {
        total_ = options.frames > 0 ? options.frames
                                    : std::max<int64_t>(24, static_cast<int64_t>(options.fps * 600));
        frameMs_ = options.fps > 0 ? static_cast<int64_t>(1000.0 / options.fps) : 1000;
        machines_.resize(static_cast<size_t>(options.machines));
        const int64_t now = NowMicros();
        for (size_t i = 0; i < machines_.size(); ++i) {
            Machine& m = machines_[i];
            char name[32];
            std::snprintf(name, sizeof name, "rn-%05zu", i);
            m.name = name;
            m.base = options.prefix + "/" + m.name + "/";
            m.project = static_cast<int>(i * 7 % 8);
            m.failsFirstItem = i % 100 == 17;
            m.stalls = i % 100 == 42;
            m.item = m.failsFirstItem ? 2 : 1;
            m.done = static_cast<int64_t>(i * 7919 % static_cast<size_t>(total_));  // jobs end at different times
            m.session = 1;
            m.startedAt = now - m.done * frameMs_ * 1000;
            BuildProgress(m, options, total_);
        }
    }

    void Start() {
        const int64_t now = NowMicros();
        for (Machine& m : machines_) {
            link_.Publish(m.base + "status", StatusPayload(m, now, now, link_), 1, true);
            BeginJob(m, now, false);
        }
    }

    // The k-th frame of the run: machine k % N's next frame.
    void Frame(int64_t k, int64_t now) {
        Machine& m = machines_[static_cast<size_t>(k % options_.machines)];
        const int64_t slot = k / options_.machines;
        if (m.stalls && slot % 60 >= 30 && slot % 60 < 50) return;
        if (m.done >= total_) {
            EndJob(m, now);
            BeginJob(m, now, true);
        }
        ++m.done;
        Template& t = m.progress;
        t.SetIso(m.time, now);
        t.Set(m.ts, now);
        t.Set(m.sessionSlot, m.session);
        t.Set(m.frameId, m.done);
        t.Set(m.framesDone, m.done);
        t.Set(m.elapsed, std::max<int64_t>(0, (now - m.startedAt) / 1000));
        t.Set(m.remaining, (total_ - m.done) * frameMs_);
        t.Set(m.bytes, m.done * kBytesPerFrame);
        link_.Publish(m.progressTopic, t.text(), 0, true);
    }

    // The k-th status refresh of the run (QoS 0, as the publishers' periodic one).
    void Status(int64_t k, int64_t now, int64_t startedAt) {
        const Machine& m = machines_[static_cast<size_t>(k % options_.machines)];
        link_.Publish(m.base + "status", StatusPayload(m, now, startedAt, link_), 0, true);
    }

private:
    void BeginJob(Machine& m, int64_t now, bool fresh) {
        if (fresh) {
            ++m.session;
            m.done = 0;
            m.startedAt = now;
        }
        link_.Publish(m.base + "job", JobPayload(m, now, total_, false), 1, true);
        const std::string items = m.failsFirstItem ? "2" : "1";
        link_.Publish(m.base + "events",
                      EventPayload(m, now, "JobBegin", ",\"project\":" + Quoted(kProjects[m.project]) + ",\"items\":" + items), 1,
                      false);
        if (m.failsFirstItem) {
            link_.Publish(m.base + "events", EventPayload(m, now, "JobItemStart", ",\"item\":1"), 1, false);
            link_.Publish(m.base + "events",
                          EventPayload(m, now, "JobItemLog", ",\"item\":1,\"flag\":1,\"message\":\"Out of memory while rendering a layer\""),
                          1, false);
            link_.Publish(m.base + "events",
                          EventPayload(m, now, "JobItemEnd", ",\"item\":1,\"status\":\"failed\",\"framesDone\":" + std::to_string(total_ / 3)),
                          1, false);
        }
        link_.Publish(m.base + "events", EventPayload(m, now, "JobItemStart", ",\"item\":" + std::to_string(m.item)), 1, false);
    }

    void EndJob(Machine& m, int64_t now) {
        link_.Publish(m.base + "events",
                      EventPayload(m, now, "JobItemEnd", ",\"item\":" + std::to_string(m.item) +
                                                             ",\"status\":\"done\",\"framesDone\":" + std::to_string(total_)),
                      1, false);
        link_.Publish(m.base + "job", JobPayload(m, now, total_, true), 1, true);
        link_.Publish(m.base + "events",
                      EventPayload(m, now, "JobEnd", ",\"counts\":{\"done\":1,\"stopped\":0,\"failed\":" +
                                                         std::string(m.failsFirstItem ? "1" : "0") + ",\"notStarted\":0}"),
                      1, false);
        ++jobsEnded;
    }

    const Options& options_;
    Link& link_;
    std::vector<Machine> machines_;
    int64_t total_ = 0, frameMs_ = 0;

public:
    int64_t jobsEnded = 0;
};

void SleepUntil(std::chrono::steady_clock::time_point when) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    timespec until{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
    }
}

int Run(const Options& options) {
    Link link(options, options.printSample);
    Farm farm(options, link);
    const int64_t startedAt = NowMicros();
    farm.Start();
    if (options.printSample) {
        // A frame, a job's end and the next one's start, and a status refresh.
        for (int64_t k = 0; k < 2 * options.machines; ++k) farm.Frame(k, NowMicros());
        farm.Status(0, NowMicros(), startedAt);
        return 0;
    }
    // The statuses and jobs go first, every one acknowledged, before any frame.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point began = Clock::now();
    link.Settle(options.settleSeconds);
    const double settleSeconds = std::chrono::duration<double>(Clock::now() - began).count();
    const double rate = options.machines * options.fps;
    const double statusRate = options.statusSeconds > 0 ? options.machines / options.statusSeconds : 0;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    const auto tick = std::chrono::milliseconds(2);
    int64_t frames = 0, statuses = 0;
    double behindMs = 0;
    for (Clock::time_point next = start; next < end; next += tick) {
        SleepUntil(next);
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const int64_t due = static_cast<int64_t>(elapsed * rate), statusDue = static_cast<int64_t>(elapsed * statusRate);
        if (due > frames + 1) behindMs = std::max(behindMs, (due - frames) / rate * 1000.0);
        for (; frames < due; ++frames) farm.Frame(frames, NowMicros());
        for (; statuses < statusDue; ++statuses) farm.Status(statuses, NowMicros(), startedAt);
        link.Service();
        if (now > next + tick * 50) next = now;  // far behind (stopped, starved): catch up, do not spin
    }
    for (int i = 0; i < 500 && link.Pending(); ++i) {
        link.Service();
        SleepUntil(Clock::now() + std::chrono::milliseconds(2));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("{\"machines\":%d,\"fps\":%g,\"seconds\":%.1f,\"frames\":%" PRId64 ",\"framesPerSecond\":%.1f,"
                "\"statuses\":%" PRId64 ",\"jobsEnded\":%" PRId64 ",\"messages\":%" PRId64 ",\"bytes\":%" PRId64
                ",\"publishFailures\":%" PRId64 ",\"reconnects\":%" PRId64 ",\"maxBehindMs\":%.1f,\"startupSeconds\":%.1f,"
                "\"notOut\":%" PRId64 "}\n",
                options.machines, options.fps, seconds, frames, frames / seconds, statuses, farm.jobsEnded, link.messages,
                link.bytes, link.failed, link.reconnects, behindMs, settleSeconds, link.messages - link.acknowledged);
    return link.failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"farm_load: N simulated render machines publishing to an MQTT broker", "farm_load"};
    app.add_option("--machines", options.machines, "machines")->check(CLI::Range(1, 1000000));
    app.add_option("--fps", options.fps, "frames per second per machine")->check(CLI::Range(0.001, 1000.0));
    app.add_option("--seconds", options.seconds, "how long frames are published");
    app.add_option("--frames", options.frames, "frames of each job's rendering item (0: ten minutes of frames)");
    app.add_option("--status-seconds", options.statusSeconds, "each machine's status refresh (0: none)");
    app.add_option("--settle", options.settleSeconds, "at most this many seconds for the statuses and jobs to be acknowledged");
    app.add_option("--prefix", options.prefix, "topic prefix");
    app.add_option("--host", options.host, "broker host");
    app.add_option("--port", options.port, "broker port")->check(CLI::Range(1, 65535));
    app.add_flag("--print-sample", options.printSample, "print one payload of each kind and exit");
    CLI11_PARSE(app, argc, argv);
    try {
        return Run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "farm_load: %s\n", error.what());
        return 2;
    }
}
