// brevant-farm-subscriber: the checking end of bench/farm.sh. Subscribes to every topic of the
// farm under a prefix and to the broker's message counter, and checks that every machine's every
// event arrived, in order (its "seq" counts 1, 2, 3 ... with no gap and no repeat; its frames
// count 1 to the item's total), and measures each frame's latency from the host's "ts" (taken when
// the frame finished) to its arrival here. It ends when every expected machine has ended its job,
// or at the deadline, and prints one summary; exit status 0 only when nothing was lost.
//
//   brevant-farm-subscriber PORT PREFIX MACHINES FRAMES_PER_MACHINE TIMEOUT_SECONDS
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "farm/wire/Wire.h"

namespace {

int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct MachineRecord {
    int64_t lastSeq = 0;
    int64_t seqFaults = 0;    // gaps, repeats and reorders of the events' seq
    int64_t frameFaults = 0;  // an item's frames not 1, 2, 3 ...
    int64_t frames = 0;
    std::map<int64_t, int64_t> lastFrameOfItem;
    bool ended = false;
};

struct Farm {
    std::string prefix;
    std::mutex mutex;
    std::map<std::string, MachineRecord> machines;
    std::vector<std::pair<int64_t, int64_t>> latencies;  // (frame's ts, latency), microseconds
    int64_t lastFirstFrameMicros = 0;  // when the last machine to start sent its first frame
    int64_t messages = 0;
    int64_t bytes = 0;
    int64_t badPayloads = 0;
    int64_t firstMicros = 0, lastMicros = 0;
    // The broker's own count of messages received, first and last seen, with their times.
    int64_t brokerFirst = -1, brokerLast = -1, brokerFirstMicros = 0, brokerLastMicros = 0;
    std::atomic<size_t> ended{0};
};

void OnMessage(mosquitto*, void* context, const mosquitto_message* message) {
    const int64_t now = NowMicros();
    Farm& farm = *static_cast<Farm*>(context);
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    std::lock_guard<std::mutex> lock(farm.mutex);
    if (topic == "$SYS/broker/messages/received") {
        const int64_t count = std::atoll(payload.c_str());
        if (farm.brokerFirst < 0) {
            farm.brokerFirst = count;
            farm.brokerFirstMicros = now;
        }
        farm.brokerLast = count;
        farm.brokerLastMicros = now;
        return;
    }
    ++farm.messages;
    farm.bytes += message->payloadlen;
    if (farm.firstMicros == 0) farm.firstMicros = now;
    farm.lastMicros = now;
    const std::string suffix = "/" + std::string(farm_wire::kEventsTopic);
    if (message->retain || topic.size() <= farm.prefix.size() + suffix.size() ||
        topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return;
    }
    const std::string machine = topic.substr(farm.prefix.size() + 1, topic.size() - farm.prefix.size() - 1 - suffix.size());
    const nlohmann::json event = nlohmann::json::parse(payload, nullptr, false);
    if (!event.is_object() || !event.contains("seq") || !event.contains("event")) {
        ++farm.badPayloads;
        return;
    }
    MachineRecord& record = farm.machines[machine];
    const int64_t seq = event["seq"].get<int64_t>();
    if (seq != record.lastSeq + 1) ++record.seqFaults;
    record.lastSeq = std::max(record.lastSeq, seq);
    const std::string name = event["event"].get<std::string>();
    if (name == farm_wire::kJobItemUpdate) {
        ++record.frames;
        int64_t& last = record.lastFrameOfItem[event["item"].get<int64_t>()];
        const int64_t frame = event["frameId"].get<int64_t>();
        if (frame != last + 1) ++record.frameFaults;
        last = frame;
        const int64_t ts = event["ts"].get<int64_t>();
        if (record.frames == 1) farm.lastFirstFrameMicros = std::max(farm.lastFirstFrameMicros, ts);
        farm.latencies.emplace_back(ts, now - ts);
    } else if (name == farm_wire::kJobEnd && !record.ended) {
        record.ended = true;
        ++farm.ended;
    }
}

void OnConnect(mosquitto* client, void* context, int code) {
    if (code != 0) return;
    const std::string all = static_cast<Farm*>(context)->prefix + "/#";
    mosquitto_subscribe(client, nullptr, all.c_str(), 1);
    mosquitto_subscribe(client, nullptr, "$SYS/broker/messages/received", 0);
}

double Percentile(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) return 0.0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[index]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s PORT PREFIX MACHINES FRAMES_PER_MACHINE TIMEOUT_SECONDS\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    Farm farm;
    farm.prefix = argv[2];
    const size_t expectedMachines = static_cast<size_t>(std::atol(argv[3]));
    const int64_t framesPerMachine = std::atoll(argv[4]);
    const int timeoutSeconds = std::atoi(argv[5]);

    mosquitto_lib_init();
    mosquitto* client = mosquitto_new(nullptr, true, &farm);
    mosquitto_connect_callback_set(client, OnConnect);
    mosquitto_message_callback_set(client, OnMessage);
    if (mosquitto_connect(client, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "brevant-farm-subscriber: cannot connect to 127.0.0.1:%d\n", port);
        return 2;
    }
    mosquitto_loop_start(client);
    std::printf("subscribed\n");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (farm.ended < expectedMachines && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the broker's counter, once more
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, true);
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();

    std::lock_guard<std::mutex> lock(farm.mutex);
    int64_t lostFrames = 0, seqFaults = 0, frameFaults = 0, notEnded = 0;
    for (const auto& [name, record] : farm.machines) {
        lostFrames += std::max<int64_t>(0, framesPerMachine - record.frames);
        seqFaults += record.seqFaults;
        frameFaults += record.frameFaults;
        notEnded += record.ended ? 0 : 1;
    }
    const int64_t missingMachines = static_cast<int64_t>(expectedMachines) - static_cast<int64_t>(farm.machines.size());
    lostFrames += std::max<int64_t>(0, missingMachines) * framesPerMachine;
    // Every frame, and the frames after the farm's start-up: from one second after the last
    // machine's first frame, when no host is still loading.
    std::vector<int64_t> sorted, steady;
    for (const auto& [ts, latency] : farm.latencies) {
        sorted.push_back(latency);
        if (ts >= farm.lastFirstFrameMicros + 1000000) steady.push_back(latency);
    }
    std::sort(sorted.begin(), sorted.end());
    std::sort(steady.begin(), steady.end());
    const double seconds = static_cast<double>(farm.lastMicros - farm.firstMicros) / 1e6;
    const double brokerSeconds = static_cast<double>(farm.brokerLastMicros - farm.brokerFirstMicros) / 1e6;
    std::printf("machines %zu of %zu ended; frames %zu; lost frames %lld; seq faults %lld; frame-order faults %lld; "
                "bad payloads %lld\n",
                farm.machines.size() - static_cast<size_t>(notEnded), expectedMachines, farm.latencies.size(),
                static_cast<long long>(lostFrames), static_cast<long long>(seqFaults),
                static_cast<long long>(frameFaults), static_cast<long long>(farm.badPayloads));
    for (const auto* set : {&sorted, &steady}) {
        std::printf("latency ms, %s (%zu frames): p50 %.2f  p90 %.2f  p99 %.2f  p99.9 %.2f  max %.2f\n",
                    set == &sorted ? "every frame" : "after start-up", set->size(), Percentile(*set, 50),
                    Percentile(*set, 90), Percentile(*set, 99), Percentile(*set, 99.9), Percentile(*set, 100));
    }
    std::printf("received %lld messages, %.1f MB in %.1f s: %.0f messages/s\n", static_cast<long long>(farm.messages),
                static_cast<double>(farm.bytes) / 1e6, seconds, seconds > 0 ? static_cast<double>(farm.messages) / seconds : 0.0);
    if (farm.brokerFirst >= 0 && brokerSeconds > 0) {
        std::printf("broker received %.0f MQTT packets/s of every kind, acknowledgements included (its $SYS counter over %.1f s)\n",
                    static_cast<double>(farm.brokerLast - farm.brokerFirst) / brokerSeconds, brokerSeconds);
    }
    const bool clean = lostFrames == 0 && seqFaults == 0 && frameFaults == 0 && notEnded == 0 && missingMachines <= 0 &&
                       farm.badPayloads == 0;
    std::printf("%s\n", clean ? "nothing lost" : "LOSS OR DISORDER");
    return clean ? 0 : 1;
}
