#include "farm/dashboard/Notifier.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <sstream>

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

namespace {

// "%20" and the like as the bytes they stand for; false on a '%' not followed by two hex digits.
bool PercentDecode(const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out->push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return false;
        out->push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
        i += 2;
    }
    return true;
}

}  // namespace

std::string ParseWebhook(const std::string& text, Webhook* out) {
    std::istringstream words(text);
    Webhook hook;
    std::string origin, path, word;
    words >> hook.url;
    if (!ParseWebhookUrl(hook.url, &origin, &path)) return "not an http:// or https:// URL: " + hook.url;
    while (words >> word) {
        const size_t equals = word.find('=');
        const std::string key = word.substr(0, equals);
        std::set<std::string>* set = key == "events" ? &hook.events : key == "projects" ? &hook.projects : nullptr;
        if (set == nullptr || equals == std::string::npos || !set->empty())
            return "after the webhook's URL, events=KIND,... and projects=NAME,... (each once), not \"" + word + "\"";
        std::istringstream values(word.substr(equals + 1));
        for (std::string value, name; std::getline(values, value, ',');) {
            if (!PercentDecode(value, &name) || name.empty())
                return key + "=: names separated by commas, each written as in a URL (%20 for a space), not \"" + value + "\"";
            if (set == &hook.events && WebhookEvents().count(name) == 0) {
                std::string kinds;
                for (const std::string& kind : WebhookEvents()) kinds += (kinds.empty() ? "" : ", ") + kind;
                return "unknown webhook event \"" + name + "\" (the events: " + kinds + ")";
            }
            set->insert(name);
        }
        if (set->empty()) return key + "= names nothing";
    }
    *out = std::move(hook);
    return "";
}

Notifier::Notifier(std::vector<Webhook> hooks, WebhookPolicy policy) : hooks_(std::move(hooks)), policy_(policy) {
    if (!hooks_.empty()) worker_ = std::thread([this] { Run(); });
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
    if (hooks_.empty()) return;
    const auto project = details.find("project");
    const std::string projectName = project != details.end() && project->is_string() ? project->get<std::string>() : "";
    details["event"] = kind;
    details["text"] = text;
    std::string body = details.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t hook = 0; hook < hooks_.size(); ++hook) {
        // The webhook's filters: a team hears only of its own events and projects.
        if ((!hooks_[hook].events.empty() && hooks_[hook].events.count(kind) == 0) ||
            (!hooks_[hook].projects.empty() && hooks_[hook].projects.count(projectName) == 0))
            continue;
        if (pending_.size() >= policy_.maxPending) {
            ++counters_.dropped;
            continue;
        }
        pending_.push_back({hook, body, 1, std::chrono::steady_clock::now()});
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
        bool sent = Send(hooks_[delivery.hook].url, delivery.body);
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
