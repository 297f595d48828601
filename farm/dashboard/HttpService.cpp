#include "farm/dashboard/HttpService.h"

#include <httplib.h>

#include <condition_variable>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "farm/dashboard/EventHub.h"
#include "farm/dashboard/FarmState.h"
#include "farm/dashboard/Sse.h"
#include "farm/wire/Wire.h"

namespace dashboard {
namespace {

using Json = nlohmann::json;

constexpr std::chrono::seconds kKeepAliveEvery{15};

void SendJson(httplib::Response& res, const Json& body, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) { SendJson(res, {{"error", message}}, status); }

bool SameSecret(const std::string& given, const std::string& expected) {
    // Every byte is compared, so the time taken does not tell how much of a guess was right.
    unsigned char differ = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i) differ |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    return differ == 0;
}

std::string CookieValue(const httplib::Request& req, const std::string& name) {
    std::string cookies = req.get_header_value("Cookie");
    std::istringstream stream(cookies);
    for (std::string part; std::getline(stream, part, ';');) {
        size_t start = part.find_first_not_of(' ');
        if (start == std::string::npos) continue;
        part.erase(0, start);
        if (part.compare(0, name.size() + 1, name + "=") == 0) return part.substr(name.size() + 1);
    }
    return {};
}

bool IsLoopbackName(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// The host name of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1".
std::string HostName(const std::string& header) {
    if (!header.empty() && header[0] == '[') {
        size_t close = header.find(']');
        return close == std::string::npos ? header : header.substr(1, close - 1);
    }
    return header.substr(0, header.find(':'));
}

int ParseCount(const httplib::Request& req, const char* name, int fallback, int max) {
    if (!req.has_param(name)) return fallback;
    const std::string text = req.get_param_value(name);
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
    int value = std::stoi(text);
    return value > max ? max : value;
}

constexpr int kCsvRows = 100000;  // one export's bound: a year of a large farm is searched, not dumped

// A history search's parameters; the problem with the first one that is wrong, or "".
std::string ParseFilter(const httplib::Request& req, JobFilter* filter) {
    const std::pair<const char*, std::string*> fields[] = {{"project", &filter->project}, {"machine", &filter->machine},
                                                            {"outcome", &filter->outcome}, {"from", &filter->from},
                                                            {"to", &filter->to}};
    for (const auto& [name, value] : fields) {
        *value = req.get_param_value(name);
        if (value->size() > 256) return std::string(name) + " is longer than 256 bytes";
    }
    if (!filter->outcome.empty() && filter->outcome != "done" && filter->outcome != "failed" &&
        filter->outcome != "stopped" && filter->outcome != "lost")
        return "outcome is one of done, failed, stopped, lost";
    for (const auto& [name, value] : {std::pair<const char*, std::string&>{"from", filter->from}, {"to", filter->to}}) {
        const bool date = value.size() == 10 && farm_wire::IsoMicros(value + "T00:00:00Z");
        if (!value.empty() && !date && !farm_wire::IsoMicros(value))
            return std::string(name) + " is a date (2026-12-01) or a UTC time (2026-12-01T18:30:00Z)";
        // Times are compared as the history writes them, with milliseconds.
        if (value.size() == 20) value.insert(19, ".000");
    }
    return {};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the page file " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

HttpService::HttpService(HttpOptions options, FarmState& farm, EventHub& hub)
    : options_(std::move(options)), farm_(farm), hub_(hub), server_(std::make_unique<httplib::Server>()) {
    files_["/"] = {"text/html; charset=utf-8", ReadFile(options_.webRoot + "/index.html")};
    files_["/index.html"] = files_["/"];
    files_["/app.js"] = {"text/javascript; charset=utf-8", ReadFile(options_.webRoot + "/app.js")};
    files_["/style.css"] = {"text/css; charset=utf-8", ReadFile(options_.webRoot + "/style.css")};
    files_["/favicon.svg"] = {"image/svg+xml", ReadFile(options_.webRoot + "/favicon.svg")};
    // Each event-stream client holds a worker for as long as it is connected; the others serve
    // the API. httplib owns the queue it is handed and deletes it.
    const size_t workers = options_.maxEventClients + 8;
    server_->new_task_queue = [workers] { return std::make_unique<httplib::ThreadPool>(workers).release(); };
    server_->set_tcp_nodelay(true);  // an event is one small write; it must not wait for an ACK
    server_->set_payload_max_length(options_.maxRequestBytes);
    server_->set_read_timeout(10, 0);
    server_->set_write_timeout(10, 0);
    server_->set_keep_alive_timeout(2);
    server_->set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
    });
    Routes();
}

HttpService::~HttpService() = default;

int HttpService::Bind() {
    if (options_.port == 0) return server_->bind_to_any_port(options_.listen);
    return server_->bind_to_port(options_.listen, options_.port) ? options_.port : -1;
}

bool HttpService::Run() { return server_->listen_after_bind(); }

void HttpService::Stop() { server_->stop(); }

void HttpService::Routes() {
    const bool loopback = IsLoopbackName(options_.listen);
    server_->set_pre_routing_handler([this, loopback](const httplib::Request& req, httplib::Response& res) {
        // A page on another site must not reach a loopback service through a name it controls.
        if (loopback && !IsLoopbackName(HostName(req.get_header_value("Host")))) {
            SendError(res, 403, "requests must name the dashboard by a loopback address");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (options_.token.empty()) return httplib::Server::HandlerResponse::Unhandled;
        const std::string authorization = req.get_header_value("Authorization");
        const bool byHeader = authorization.rfind("Bearer ", 0) == 0 && SameSecret(authorization.substr(7), options_.token);
        const bool byCookie = SameSecret(CookieValue(req, "brevant_token"), options_.token);
        const bool byQuery = req.has_param("access_token") && SameSecret(req.get_param_value("access_token"), options_.token);
        if (!byHeader && !byCookie && !byQuery) {
            res.set_header("WWW-Authenticate", "Bearer realm=\"brevant-dashboard\"");
            SendError(res, 401, "a bearer token is required");
            return httplib::Server::HandlerResponse::Handled;
        }
        // A browser opened with ?access_token= keeps it in a cookie, which its event stream and
        // thumbnails then carry.
        if (byQuery)
            res.set_header("Set-Cookie", "brevant_token=" + options_.token + "; Path=/; HttpOnly; SameSite=Strict");
        return httplib::Server::HandlerResponse::Unhandled;
    });

    for (const auto& [path, file] : files_) {
        server_->Get(path, [this, path = path](const httplib::Request&, httplib::Response& res) {
            const auto& [type, content] = files_.at(path);
            res.set_header("Cache-Control", "no-cache");
            res.set_content(content, type);
        });
    }

    server_->Get("/api/machines", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, farm_.Machines({})); });
    server_->Get(R"(/api/machines/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        if (auto machine = farm_.Machine(req.matches[1])) return SendJson(res, *machine);
        SendError(res, 404, "no such machine");
    });
    server_->Get(R"(/api/machines/([^/]+)/items/(\d{1,6})/thumbnail)", [this](const httplib::Request& req, httplib::Response& res) {
        auto jpeg = farm_.Thumbnail(req.matches[1], std::stoll(req.matches[2]));
        if (!jpeg) return SendError(res, 404, "no thumbnail for this item");
        // The page asks with ?v=VERSION, a new URL for each new image.
        res.set_header("Cache-Control", req.has_param("v") ? "private, max-age=3600" : "no-cache");
        res.set_content(*jpeg, "image/jpeg");
    });
    server_->Get("/api/jobs", [this](const httplib::Request& req, httplib::Response& res) {
        int limit = ParseCount(req, "limit", 50, 1000), offset = ParseCount(req, "offset", 0, 1000000);
        if (limit < 0 || offset < 0) return SendError(res, 400, "limit and offset are whole numbers");
        JobFilter filter;
        if (std::string problem = ParseFilter(req, &filter); !problem.empty()) return SendError(res, 400, problem);
        SendJson(res, farm_.Jobs(filter, limit, offset));
    });
    server_->Get("/api/jobs.csv", [this](const httplib::Request& req, httplib::Response& res) {
        int limit = ParseCount(req, "limit", kCsvRows, kCsvRows);
        if (limit < 0) return SendError(res, 400, "limit is a whole number");
        JobFilter filter;
        if (std::string problem = ParseFilter(req, &filter); !problem.empty()) return SendError(res, 400, problem);
        res.set_header("Content-Disposition", "attachment; filename=\"brevant-jobs.csv\"");
        res.set_content(farm_.JobsCsv(filter, limit), "text/csv; charset=utf-8");
    });
    server_->Get("/api/hours", [this](const httplib::Request& req, httplib::Response& res) {
        JobFilter filter;
        if (std::string problem = ParseFilter(req, &filter); !problem.empty()) return SendError(res, 400, problem);
        SendJson(res, farm_.RenderHours(filter));
    });
    server_->Get(R"(/api/jobs/(\d{1,18}))", [this](const httplib::Request& req, httplib::Response& res) {
        if (auto job = farm_.Job(std::stoll(req.matches[1]))) return SendJson(res, *job);
        SendError(res, 404, "no such job");
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(farm_.Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server_->Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        // A worker waits on its own condition for the hub's wake.
        struct Waiter {
            std::mutex mutex;
            std::condition_variable cv;
            bool woken = false;
        };
        auto waiter = std::make_shared<Waiter>();
        auto client = farm_.Attach({}, [waiter] {
            std::lock_guard<std::mutex> lock(waiter->mutex);
            waiter->woken = true;
            waiter->cv.notify_all();
        });
        if (!client) return SendError(res, 503, "too many event-stream clients");
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, client, waiter](size_t, httplib::DataSink& sink) {
                {
                    std::unique_lock<std::mutex> lock(waiter->mutex);
                    waiter->cv.wait_for(lock, kKeepAliveEvery, [&] { return waiter->woken; });
                    waiter->woken = false;
                }
                std::vector<Frame> frames;
                switch (hub_.Take(*client, frames)) {
                    case EventHub::Taken::Closed: sink.done(); return true;
                    case EventHub::Taken::Resync: farm_.Resync(*client); return true;
                    case EventHub::Taken::Events: break;
                }
                std::string events;
                for (const auto& frame : frames) events += *frame;
                if (events.empty()) events = kSseKeepAlive;
                return sink.write(events.data(), events.size());
            },
            [this, client](bool) { hub_.Detach(client); });
    });
    server_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) SendError(res, res.status, res.status == 404 ? "not found" : "bad request");
    });
}

}  // namespace dashboard
