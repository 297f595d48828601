// The dashboard's HTTP side: the page's files, the JSON API, the event stream and /metrics, all
// read-only GETs, served by cpp-httplib's worker threads.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace dashboard {

class EventHub;
class FarmState;

struct HttpOptions {
    std::string listen = "127.0.0.1";
    int port = 8080;                 // 0: any free port
    std::string token;               // when set, every request must carry it
    std::string webRoot;             // index.html, app.js, style.css
    size_t maxEventClients = 32;
    size_t maxRequestBytes = 8192;   // bodies; nothing here takes one
};

class HttpService {
public:
    // Reads the page's files; throws std::runtime_error naming a file that cannot be read.
    HttpService(HttpOptions options, FarmState& farm, EventHub& hub);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // Binds the listening socket; returns the port, or -1 with errno set.
    int Bind();
    // [main thread] Serves until Stop. False when the server failed.
    bool Run();
    // [any-thread] Ends Run; the event stream must be closed first so its workers return.
    void Stop();

private:
    void Routes();
    const HttpOptions options_;
    FarmState& farm_;
    EventHub& hub_;
    std::unique_ptr<httplib::Server> server_;
    std::map<std::string, std::pair<std::string, std::string>> files_;  // path -> (type, content)
};

}  // namespace dashboard
