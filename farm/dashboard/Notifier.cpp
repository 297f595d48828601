#include "farm/dashboard/Notifier.h"

#include <httplib.h>

#include <algorithm>

namespace dashboard {

bool ParseWebhookUrl(const std::string& url, std::string* origin, std::string* path) {
    size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos) return false;
    const std::string scheme = url.substr(0, schemeEnd);
    if (scheme != "http" && scheme != "https") return false;
    size_t hostStart = schemeEnd + 3;
    size_t pathStart = url.find('/', hostStart);
    std::string host = url.substr(hostStart, pathStart == std::string::npos ? std::string::npos : pathStart - hostStart);
    if (host.empty() || host.find_first_of(" \t\r\n@") != std::string::npos) return false;
    *origin = scheme + "://" + host;
    *path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    return true;
}

Notifier::Notifier(std::vector<std::string> urls, WebhookPolicy policy)
    : urls_(std::move(urls)), policy_(policy) {
    if (!urls_.empty()) worker_ = std::thread([this] { Run(); });
}

Notifier::~Notifier() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void Notifier::Post(const std::string& kind, const std::string& text, nlohmann::json details) {
    if (urls_.empty()) return;
    details["event"] = kind;
    details["text"] = text;
    std::string body = details.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t url = 0; url < urls_.size(); ++url) {
        if (pending_.size() >= policy_.maxPending) {
            ++counters_.dropped;
            continue;
        }
        pending_.push_back({url, body, 1, std::chrono::steady_clock::now()});
    }
    wake_.notify_all();
}

Notifier::Counters Notifier::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

bool Notifier::Send(const std::string& url, const std::string& body) const {
    std::string origin, path;
    if (!ParseWebhookUrl(url, &origin, &path)) return false;
    httplib::Client client(origin);
    client.set_connection_timeout(policy_.timeout);
    client.set_read_timeout(policy_.timeout);
    client.set_write_timeout(policy_.timeout);
    auto result = client.Post(path, body, "application/json");
    return result && result->status >= 200 && result->status < 300;
}

// The worker: sends the delivery that is due first, in order of posting among those due.
void Notifier::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (pending_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto next = std::min_element(pending_.begin(), pending_.end(),
                                     [](const Delivery& a, const Delivery& b) { return a.due < b.due; });
        if (next->due > std::chrono::steady_clock::now()) {
            wake_.wait_until(lock, next->due);
            continue;
        }
        Delivery delivery = std::move(*next);
        pending_.erase(next);
        lock.unlock();
        bool sent = Send(urls_[delivery.url], delivery.body);
        lock.lock();
        if (sent) {
            ++counters_.sent;
        } else if (delivery.attempt >= policy_.attempts) {
            ++counters_.failed;
        } else {
            ++counters_.retried;
            auto delay = std::min(policy_.maxRetry, policy_.firstRetry * (1 << std::min(delivery.attempt - 1, 16)));
            delivery.due = std::chrono::steady_clock::now() + delay;
            ++delivery.attempt;
            pending_.push_back(std::move(delivery));
        }
    }
}

}  // namespace dashboard
