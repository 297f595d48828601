// libFuzzer harness over what brevant-dashboard takes from the broker. Each input is a sequence
// of messages, each a topic line ("brevant/MACHINE/...\n") and a payload up to the next NUL byte
// or the end, applied in order to a farm of its own (the history, in memory, and the event hub are
// the process's, as in the service). What must hold,
// besides the sanitizers: nothing a message holds escapes as an exception or crashes, and every
// view of what was built (the API's machines and jobs, the metrics, a new browser's snapshot)
// can be made. The seeds in corpus/ are real payloads of every topic.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "farm/dashboard/EventHub.h"
#include "farm/dashboard/FarmState.h"
#include "farm/dashboard/History.h"
#include "farm/dashboard/Notifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static dashboard::EventHub hub(1, 1000, 1 << 20);
    static dashboard::Notifier notifier({}, dashboard::WebhookPolicy{});
    static dashboard::History history(":memory:");
    dashboard::FarmOptions options;
    options.maxMachines = 8;
    dashboard::FarmState farm(options, hub, notifier, history);
    auto client = farm.Attach({{"m1"}, "p"}, [] {});

    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const size_t newline = input.find('\n');
        const std::string_view topic = input.substr(0, newline);
        input.remove_prefix(newline == input.npos ? input.size() : newline + 1);
        const size_t end = input.find('\0');
        farm.OnMessage(topic, input.substr(0, end));
        input.remove_prefix(end == input.npos ? input.size() : end + 1);
        farm.Tick();
    }
    const nlohmann::json machines = farm.Machines({});
    farm.Summary();
    farm.Tiles();
    farm.Flush();
    for (const auto& machine : machines["machines"]) farm.Machine(machine["name"].get<std::string>());
    farm.Jobs({}, 10, 0);
    farm.Metrics();
    if (client) {
        farm.Resync(*client);
        hub.Detach(client);
    }
    return 0;
}

#ifdef BREVANT_FUZZ_REPLAY
// Without libFuzzer: each file named on the command line is one input, run once.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        const std::vector<char> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    }
    return 0;
}
#endif
