// Webhooks: a JSON POST with a "text" field (what chat tools show) and the event's details, to
// every configured URL, from one worker thread. Post only queues, so the MQTT thread never waits
// on a slow or absent receiver; a delivery that fails is retried with a doubling delay.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace dashboard {

struct WebhookPolicy {
    int attempts = 6;                                    // first try included
    std::chrono::milliseconds firstRetry{500};           // then 1 s, 2 s, 4 s, ...
    std::chrono::milliseconds maxRetry{30000};
    std::chrono::seconds timeout{5};                     // connect, send and receive, each
    size_t maxPending = 1000;                            // deliveries waiting; more are dropped
};

// The notifications' "event" kinds, as the farm's state posts them.
inline const std::set<std::string>& WebhookEvents() {
    static const std::set<std::string> kinds = {"jobDone",        "itemFailed",   "itemStopped",
                                                "machineOffline", "diskWillFill", "itemStalled"};
    return kinds;
}

// One --webhook: where to post, and which notifications (an empty set: all of them).
struct Webhook {
    std::string url;
    std::set<std::string> events;    // of WebhookEvents()
    std::set<std::string> projects;  // exact project names
};

// Reads "URL [events=KIND,...] [projects=NAME,...]": a URL (which holds no space) then filters,
// separated by blanks; a project name with a blank, a comma or a '%' is written with %20, %2C,
// %25 as in a URL. Returns what is wrong ("" when nothing is), naming an unknown event kind.
std::string ParseWebhook(const std::string& text, Webhook* out);

class Notifier {
public:
    // `hooks` were read by ParseWebhook. With none, Post does nothing.
    Notifier(std::vector<Webhook> hooks, WebhookPolicy policy);
    ~Notifier();  // stops the worker after the attempt in flight; pending deliveries are dropped
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // [any-thread] Queues `details` plus {"event": kind, "text": text} for every webhook whose
    // filters take `kind` and details["project"].
    void Post(const std::string& kind, const std::string& text, nlohmann::json details);
    // False when there is no URL to post to.
    bool Enabled() const { return !hooks_.empty(); }

    struct Counters {
        uint64_t sent = 0, retried = 0, failed = 0, dropped = 0;
    };
    Counters Count() const;

private:
    struct Delivery {
        size_t hook;
        std::string body;
        int attempt;
        std::chrono::steady_clock::time_point due;
    };
    void Run();
    bool Send(const std::string& url, const std::string& body) const;

    const std::vector<Webhook> hooks_;
    const WebhookPolicy policy_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Delivery> pending_;
    bool stopping_ = false;
    Counters counters_;
    std::thread worker_;
};

// Splits an http:// or https:// URL into "scheme://host:port" and the path; false when it is
// neither. Used by ParseWebhook and to send.
bool ParseWebhookUrl(const std::string& url, std::string* origin, std::string* path);

}  // namespace dashboard
