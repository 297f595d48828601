// The dashboard's HTTP side: the page's files, the JSON API, the event stream and /metrics, over
// HTTP or HTTPS. Event-driven (Boost.Beast on Asio): a few threads run every connection, so an
// event-stream viewer or a connection that sends half a request and waits holds a socket and a
// little memory, never a thread. Requests that read the job history, which may wait on a database,
// run on a pool of their own so that they never hold up the event loop.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace dashboard {

class EventHub;
class FarmState;

struct HttpOptions {
    std::string listen = "127.0.0.1";
    int port = 8080;                 // 0: any free port
    std::string token;               // when set, every request must carry it
    std::string webRoot;             // index.html, app.js, style.css, favicon.svg
    std::string tlsCert, tlsKey;     // PEM files; both set: HTTPS only
    size_t maxEventClients = 2000;
    size_t maxConnections = 4096;    // beyond it a new connection is closed at once
    int threads = 2;                 // the event loop's threads, the caller of Run among them
    int historyThreads = 2;          // the pool that answers the history's queries
    size_t maxHeaderBytes = 8192;    // the request line and headers together
    size_t maxBodyBytes = 8192;      // nothing here takes a body
    // A connection has this long for its TLS handshake and its request's head, and a keep-alive
    // connection this long for its next request's first byte.
    std::chrono::seconds headerTimeout{5}, idleTimeout{30};
    // A response or an event not written within this long closes the connection: its reader is gone.
    std::chrono::seconds writeTimeout{30};
};

class HttpService {
public:
    // Reads the page's files and the TLS certificate and key; throws std::runtime_error naming a
    // file that cannot be read or used.
    HttpService(HttpOptions options, FarmState& farm, EventHub& hub);
    ~HttpService();
    HttpService(const HttpService&) = delete;
    HttpService& operator=(const HttpService&) = delete;

    // [main thread] Binds the listening socket; returns the port, or -1 with errno set.
    int Bind();
    // [main thread] Serves on this thread and threads-1 more until Stop. False when the event
    // loop failed.
    bool Run();
    // [any thread] Ends Run. The hub is closed first, so that every viewer's stream ends.
    void Stop();

    bool Tls() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace dashboard
