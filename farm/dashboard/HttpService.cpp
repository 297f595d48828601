#include "farm/dashboard/HttpService.h"

#include <openssl/ssl.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "farm/dashboard/EventHub.h"
#include "farm/dashboard/FarmState.h"
#include "farm/dashboard/Sse.h"
#include "farm/dashboard/Views.h"
#include "farm/wire/Wire.h"

namespace dashboard {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

constexpr std::chrono::seconds kKeepAliveEvery{15};
constexpr size_t kMaxParameterBytes = 256;
constexpr int kCsvRows = 100000;  // one export's bound: a year of a large farm is searched, not dumped

std::string Str(beast::string_view text) { return std::string(text.data(), text.size()); }

Response Content(http::status status, std::string type, std::string body) {
    Response res{status, 11};
    res.set(http::field::content_type, type);
    res.body() = std::move(body);
    return res;
}

Response SendJson(const Json& body, http::status status = http::status::ok) {
    Response res = Content(status, "application/json", Dump(body));
    res.set(http::field::cache_control, "no-store");
    return res;
}

Response SendError(http::status status, const std::string& message) { return SendJson({{"error", message}}, status); }

bool SameSecret(const std::string& given, const std::string& expected) {
    // Every byte is compared, so the time taken does not tell how much of a guess was right.
    unsigned char differ = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i) differ |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    return differ == 0;
}

std::string CookieValue(const std::string& cookies, const std::string& name) {
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

// "%41b+c" -> "Ab+c" in a path, "Ab c" in a query; nothing for a broken escape.
std::optional<std::string> UrlDecode(std::string_view text, bool query) {
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+' && query) {
            out += ' ';
        } else if (text[i] == '%') {
            const int high = i + 2 < text.size() ? digit(text[i + 1]) : -1, low = high < 0 ? -1 : digit(text[i + 2]);
            if (low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A request's target: "/api/machines/a%20b?limit=5" -> path "/api/machines/a%20b", segments
// {"api", "machines", "a b"}, query {{"limit", "5"}}.
struct Target {
    std::string path;
    std::vector<std::string> segments;
    std::vector<std::pair<std::string, std::string>> query;

    bool Has(std::string_view name) const {
        for (const auto& [key, value] : query)
            if (key == name) return true;
        return false;
    }
    std::string Get(std::string_view name) const {
        for (const auto& [key, value] : query)
            if (key == name) return value;
        return {};
    }
    std::vector<std::string> All(std::string_view name) const {
        std::vector<std::string> values;
        for (const auto& [key, value] : query)
            if (key == name) values.push_back(value);
        return values;
    }
    bool Is(std::initializer_list<std::string_view> parts) const {
        return std::equal(segments.begin(), segments.end(), parts.begin(), parts.end());
    }
};

std::optional<Target> ParseTarget(std::string_view text) {
    if (text.empty() || text[0] != '/') return std::nullopt;
    Target target;
    const size_t mark = text.find('?');
    target.path = std::string(text.substr(0, mark));
    for (size_t start = 1;;) {
        const size_t end = std::min(target.path.find('/', start), target.path.size());
        auto segment = UrlDecode(std::string_view(target.path).substr(start, end - start), false);
        if (!segment) return std::nullopt;
        target.segments.push_back(std::move(*segment));
        if (end == target.path.size()) break;
        start = end + 1;
    }
    const std::string_view query = mark == std::string_view::npos ? std::string_view() : text.substr(mark + 1);
    for (size_t start = 0; start < query.size();) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string_view part = query.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        const size_t equals = part.find('=');
        auto key = UrlDecode(part.substr(0, equals), true);
        auto value = UrlDecode(equals == std::string_view::npos ? std::string_view() : part.substr(equals + 1), true);
        if (!key || !value) return std::nullopt;
        target.query.emplace_back(std::move(*key), std::move(*value));
    }
    return target;
}

bool IsDigits(const std::string& text, size_t maxDigits) {
    return !text.empty() && text.size() <= maxDigits && text.find_first_not_of("0123456789") == std::string::npos;
}

int ParseCount(const Target& target, const char* name, int fallback, int max) {
    if (!target.Has(name)) return fallback;
    const std::string text = target.Get(name);
    if (!IsDigits(text, 6)) return -1;
    int value = std::stoi(text);
    return value > max ? max : value;
}

// A history search's parameters; the problem with the first one that is wrong, or "".
std::string ParseFilter(const Target& target, JobFilter* filter) {
    const std::pair<const char*, std::string*> fields[] = {{"project", &filter->project}, {"machine", &filter->machine},
                                                            {"outcome", &filter->outcome}, {"from", &filter->from},
                                                            {"to", &filter->to}};
    for (const auto& [name, value] : fields) {
        *value = target.Get(name);
        if (value->size() > kMaxParameterBytes) return std::string(name) + " is longer than 256 bytes";
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

// A page of machines' parameters; the problem with the first one that is wrong, or "".
std::string ParseMachineQuery(const Target& target, MachineQuery* query) {
    query->state = target.Get("state");
    if (!query->state.empty() && query->state != "rendering" && query->state != "idle" && query->state != "offline" &&
        query->state != "lost" && query->state != "attention")
        return "state is one of rendering, idle, offline, lost, attention";
    for (const auto& [name, value] : {std::pair<const char*, std::string*>{"project", &query->project}, {"name", &query->name}}) {
        *value = target.Get(name);
        if (value->size() > kMaxParameterBytes) return std::string(name) + " is longer than 256 bytes";
    }
    query->limit = ParseCount(target, "limit", 100, 1000);
    query->offset = ParseCount(target, "offset", 0, 1000000);
    if (query->limit < 0 || query->offset < 0) return "limit and offset are whole numbers";
    return {};
}

// What a viewer has open, from /events?machine=A&machine=B&project=P.
std::string ParseInterest(const Target& target, Interest* interest) {
    interest->machines = target.All("machine");
    if (interest->machines.size() > Interest::kMaxMachines)
        return "at most " + std::to_string(Interest::kMaxMachines) + " machine parameters";
    for (const auto& machine : interest->machines)
        if (machine.size() > kMaxParameterBytes) return "machine is longer than 256 bytes";
    interest->project = target.Get("project");
    if (interest->project.size() > kMaxParameterBytes) return "project is longer than 256 bytes";
    return {};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the page file " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::unique_ptr<ssl::context> TlsContext(const HttpOptions& options) {
    if (options.tlsCert.empty() && options.tlsKey.empty()) return nullptr;
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    const std::pair<const char*, const std::string*> files[] = {{"certificate", &options.tlsCert}, {"key", &options.tlsKey}};
    for (const auto& [what, path] : files) {
        try {
            if (path == &options.tlsCert) context->use_certificate_chain_file(*path);
            else context->use_private_key_file(*path, ssl::context::pem);
        } catch (const boost::system::system_error& error) {
            throw std::runtime_error(std::string("cannot use the TLS ") + what + " " + *path + ": " + error.code().message());
        }
    }
    return context;
}

// How a request is answered: a response now, one computed on the history's pool, or the event
// stream; with the token's cookie when the request brought it in its URL.
struct Answer {
    Response response;
    std::function<Response()> history;
    std::optional<Interest> events;
    std::string cookie;
};

}  // namespace

// Shared by every connection: what the handlers read (never written after the constructor but for
// the connection count) and the event loop.
struct HttpService::Impl {
    Impl(HttpOptions options, FarmState& farm, EventHub& hub);
    // [io thread] Accepts the next connection, and again after it.
    void Accept();
    // [io thread] Checks the Host, the token and the method, then routes.
    Answer Route(const Request& req) const;
    // The security headers, and the cookie, on every response.
    void Decorate(Response& res, const std::string& cookie) const;

    const HttpOptions options;
    FarmState& farm;
    EventHub& hub;
    const bool loopback;
    std::map<std::string, std::pair<std::string, std::string>> files;  // path -> (type, content)
    const std::unique_ptr<ssl::context> tls;
    std::atomic<size_t> connections{0};
    // Destroyed in reverse: the history's pool is joined first, then the loop with every
    // connection still in it, each of which leaves the hub and the count above.
    asio::io_context loop;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    tcp::acceptor acceptor;
    asio::steady_timer acceptRetry;
    asio::thread_pool historyPool;
};

namespace {

// One connection, plain or TLS, on its own strand: requests one at a time, each answered before
// the next is read; /events turns it into a stream of events until the viewer goes.
template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
public:
    static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

    template <class... StreamArgs>
    Connection(HttpService::Impl& server, StreamArgs&&... streamArgs)
        : server_(server),
          stream_(std::forward<StreamArgs>(streamArgs)...),
          buffer_(server.options.maxHeaderBytes + server.options.maxBodyBytes + 4096),
          eventTimer_(stream_.get_executor()) {
        ++server_.connections;
    }

    ~Connection() {
        if (client_) server_.hub.Detach(client_);
        --server_.connections;
    }

    // [acceptor] Starts on the connection's strand.
    void Start() {
        asio::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
            // The handshake and the first request's head share one deadline.
            self->Lowest().expires_after(self->server_.options.headerTimeout);
            if constexpr (kTls) {
                self->stream_.async_handshake(ssl::stream_base::server, [self](beast::error_code error) {
                    if (!error) self->ReadHead();
                });
            } else {
                self->ReadHead();
            }
        });
    }

private:
    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

    // A keep-alive connection waits idleTimeout for its next request's first byte, then
    // headerTimeout for the rest of its head.
    void ReadNext() {
        if (buffer_.size() > 0) {
            Lowest().expires_after(server_.options.headerTimeout);
            return ReadHead();
        }
        Lowest().expires_after(server_.options.idleTimeout);
        stream_.async_read_some(buffer_.prepare(1024), [self = this->shared_from_this()](beast::error_code error, size_t n) {
            if (error) return;  // gone, or idle too long
            self->buffer_.commit(n);
            self->Lowest().expires_after(self->server_.options.headerTimeout);
            self->ReadHead();
        });
    }

    void ReadHead() {
        parser_.emplace();
        parser_->header_limit(static_cast<uint32_t>(server_.options.maxHeaderBytes));
        parser_->body_limit(server_.options.maxBodyBytes);
        http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code error, size_t) {
            self->OnRequest(error);
        });
    }

    void OnRequest(beast::error_code error) {
        static const auto& httpErrors = beast::http::make_error_code(http::error::end_of_stream).category();
        if (error == http::error::header_limit || error == http::error::buffer_overflow)
            return Fail(http::status::request_header_fields_too_large,
                        "the request line and headers are larger than " + std::to_string(server_.options.maxHeaderBytes) + " bytes");
        if (error == http::error::body_limit)
            return Fail(http::status::payload_too_large, "the request body is larger than " +
                                                             std::to_string(server_.options.maxBodyBytes) + " bytes");
        if (error && error.category() == httpErrors && error != http::error::end_of_stream &&
            error != http::error::partial_message)
            return Fail(http::status::bad_request, "bad request");
        if (error) return;  // closed, reset or too slow: nobody to answer

        const Request req = parser_->release();
        head_ = req.method() == http::verb::head;
        version_ = req.version();
        keepAlive_ = req.keep_alive();
        Answer answer;
        try {
            answer = server_.Route(req);
        } catch (const std::exception&) {
            answer.response = SendError(http::status::internal_server_error, "internal error");
        }
        if (answer.events) return StartEvents(std::move(*answer.events), answer.cookie);
        if (!answer.history) return Send(std::move(answer.response), answer.cookie);
        // The history may wait on its database: its pool answers, and this strand writes.
        asio::post(server_.historyPool, [self = this->shared_from_this(), work = std::move(answer.history),
                                         cookie = std::move(answer.cookie)]() mutable {
            Response res;
            try {
                res = work();
            } catch (const std::exception&) {
                res = SendError(http::status::internal_server_error, "the job history cannot be read now");
            }
            asio::post(self->stream_.get_executor(), [self, res = std::move(res), cookie = std::move(cookie)]() mutable {
                self->Send(std::move(res), cookie);
            });
        });
    }

    void Fail(http::status status, const std::string& message) {
        version_ = 11;
        keepAlive_ = false;
        Send(SendError(status, message), {});
    }

    void Send(Response res, const std::string& cookie) {
        server_.Decorate(res, cookie);
        res.version(version_);
        res.keep_alive(keepAlive_);
        res.prepare_payload();
        if (head_) {
            const size_t length = res.body().size();
            res.body().clear();
            if (res.result() != http::status::no_content) res.content_length(length);
        }
        response_ = std::move(res);
        Lowest().expires_after(server_.options.writeTimeout);
        http::async_write(stream_, response_, [self = this->shared_from_this()](beast::error_code error, size_t) {
            if (error) return;
            if (self->response_.keep_alive()) return self->ReadNext();
            self->Shutdown();
        });
    }

    void Shutdown() {
        if constexpr (kTls) {
            Lowest().expires_after(std::chrono::seconds(2));
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        } else {
            beast::error_code ignored;
            Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    // The event stream. Everything below runs on the connection's strand; the hub's wake only
    // posts Pump here, from whichever thread published.
    void StartEvents(Interest interest, const std::string& cookie) {
        std::weak_ptr<Connection> weak = this->weak_from_this();
        client_ = server_.farm.Attach(std::move(interest), [weak, executor = stream_.get_executor()] {
            asio::post(executor, [weak] {
                if (auto self = weak.lock()) self->Pump();
            });
        });
        if (!client_) return Send(SendError(http::status::service_unavailable, "too many event-stream clients"), cookie);
        // No length: the stream ends when the connection closes.
        Response head{http::status::ok, 11};
        head.set(http::field::content_type, "text/event-stream");
        head.set(http::field::cache_control, "no-store");
        head.set(http::field::connection, "close");
        server_.Decorate(head, cookie);
        std::ostringstream text;
        text << head.base();
        Lowest().expires_never();  // the event timer bounds writes from now on
        // A viewer sends nothing more: a read completes only when it goes.
        stream_.async_read_some(asio::buffer(discard_), [self = this->shared_from_this()](beast::error_code, size_t) {
            self->End();
        });
        Write({std::make_shared<const std::string>(text.str())});
    }

    void Pump() {
        if (ended_ || writing_ || !client_) return;
        std::vector<Frame> frames;
        switch (server_.hub.Take(*client_, frames)) {
            case EventHub::Taken::Closed: return End();
            case EventHub::Taken::Resync: return server_.farm.Resync(*client_);  // which wakes this again
            case EventHub::Taken::Events:
                if (!frames.empty()) Write(std::move(frames));
                return;
        }
    }

    // One gathered write of every frame taken; the frames stay alive until it completes.
    void Write(std::vector<Frame> frames) {
        inFlight_ = std::move(frames);
        std::vector<asio::const_buffer> buffers;
        buffers.reserve(inFlight_.size());
        for (const Frame& frame : inFlight_) buffers.push_back(asio::buffer(*frame));
        writing_ = true;
        Arm(server_.options.writeTimeout);
        asio::async_write(stream_, buffers, [self = this->shared_from_this()](beast::error_code error, size_t) {
            self->writing_ = false;
            self->inFlight_.clear();
            if (error) return self->End();
            self->Arm(kKeepAliveEvery);
            self->Pump();
        });
    }

    // While a write is in flight the timer is its deadline; otherwise it sends a keep-alive
    // comment after a silence.
    void Arm(std::chrono::steady_clock::duration after) {
        eventTimer_.expires_after(after);
        eventTimer_.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (error || self->ended_ || self->eventTimer_.expiry() > std::chrono::steady_clock::now()) return;
            if (self->writing_) return self->End();  // the viewer stopped reading
            static const Frame keepAlive = std::make_shared<const std::string>(kSseKeepAlive);
            self->Write({keepAlive});
        });
    }

    // Closes the socket: the pending read and write complete, and with the last of them the
    // connection goes and leaves the hub.
    void End() {
        if (ended_) return;
        ended_ = true;
        eventTimer_.cancel();
        Lowest().close();
    }

    HttpService::Impl& server_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Response response_;
    unsigned version_ = 11;
    bool head_ = false, keepAlive_ = false;
    // The event stream's state.
    std::shared_ptr<EventHub::Client> client_;
    std::vector<Frame> inFlight_;
    bool writing_ = false, ended_ = false;
    asio::steady_timer eventTimer_;
    char discard_[64];
};

}  // namespace

HttpService::Impl::Impl(HttpOptions options_, FarmState& farm_, EventHub& hub_)
    : options(std::move(options_)),
      farm(farm_),
      hub(hub_),
      loopback(IsLoopbackName(options.listen)),
      tls(TlsContext(options)),
      loop(options.threads),
      work(loop.get_executor()),
      acceptor(loop),
      acceptRetry(loop),
      historyPool(static_cast<size_t>(options.historyThreads)) {
    files["/"] = {"text/html; charset=utf-8", ReadFile(options.webRoot + "/index.html")};
    files["/index.html"] = files["/"];
    files["/app.js"] = {"text/javascript; charset=utf-8", ReadFile(options.webRoot + "/app.js")};
    files["/style.css"] = {"text/css; charset=utf-8", ReadFile(options.webRoot + "/style.css")};
    files["/favicon.svg"] = {"image/svg+xml", ReadFile(options.webRoot + "/favicon.svg")};
}

void HttpService::Impl::Accept() {
    acceptor.async_accept(asio::make_strand(loop), [this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) return;
        if (error) {
            // Out of descriptors, most likely: the pending connections wait in the backlog.
            acceptRetry.expires_after(std::chrono::milliseconds(50));
            acceptRetry.async_wait([this](beast::error_code waited) {
                if (!waited) Accept();
            });
            return;
        }
        // Beyond the bound the socket closes as it goes out of scope.
        if (connections.load() < options.maxConnections) {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);  // an event is one small write: no waiting for an ACK
            if (tls)
                std::make_shared<Connection<TlsStream>>(*this, std::move(socket), *tls)->Start();
            else
                std::make_shared<Connection<beast::tcp_stream>>(*this, std::move(socket))->Start();
        }
        Accept();
    });
}

void HttpService::Impl::Decorate(Response& res, const std::string& cookie) const {
    res.set("Content-Security-Policy",
            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
            "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Referrer-Policy", "no-referrer");
    res.set(http::field::x_frame_options, "DENY");
    if (!cookie.empty()) res.set(http::field::set_cookie, cookie);
}

Answer HttpService::Impl::Route(const Request& req) const {
    Answer answer;
    Response& res = answer.response;
    // A page on another site must not reach a loopback service through a name it controls.
    if (loopback && !IsLoopbackName(HostName(Str(req[http::field::host])))) {
        res = SendError(http::status::forbidden, "requests must name the dashboard by a loopback address");
        return answer;
    }
    const std::optional<Target> target = ParseTarget(Str(req.target()));
    if (!target) {
        res = SendError(http::status::bad_request, "the request's target is not a path with a valid query");
        return answer;
    }
    // Liveness and readiness, for a supervisor or a load balancer: they tell nothing else, so they
    // answer without the token.
    const bool probe = target->Is({"healthz"}) || target->Is({"readyz"});
    if (!options.token.empty() && !probe) {
        const std::string authorization = Str(req[http::field::authorization]);
        const bool byHeader = authorization.rfind("Bearer ", 0) == 0 && SameSecret(authorization.substr(7), options.token);
        const bool byCookie = SameSecret(CookieValue(Str(req[http::field::cookie]), "brevant_token"), options.token);
        const bool byQuery = target->Has("access_token") && SameSecret(target->Get("access_token"), options.token);
        if (!byHeader && !byCookie && !byQuery) {
            res = SendError(http::status::unauthorized, "a bearer token is required");
            res.set(http::field::www_authenticate, "Bearer realm=\"brevant-dashboard\"");
            return answer;
        }
        // A browser opened with ?access_token= keeps it in a cookie, which its event stream and
        // thumbnails then carry.
        if (byQuery)
            answer.cookie = "brevant_token=" + options.token + "; Path=/; HttpOnly; SameSite=Strict" + (tls ? "; Secure" : "");
    }

    const auto& segments = target->segments;
    const bool oneMachine = segments.size() == 3 && segments[0] == "api" && segments[1] == "machines" && !segments[2].empty();
    const http::verb method = req.method();
    if (method != http::verb::get && method != http::verb::head && !(method == http::verb::delete_ && oneMachine)) {
        res = SendError(http::status::method_not_allowed, "method not allowed");
        res.set(http::field::allow, oneMachine ? "GET, HEAD, DELETE" : "GET, HEAD");
        return answer;
    }
    std::string problem;

    if (auto file = files.find(target->path); file != files.end()) {
        res = Content(http::status::ok, file->second.first, file->second.second);
        res.set(http::field::cache_control, "no-cache");
    } else if (target->Is({"api", "summary"})) {
        res = SendJson(farm.Summary());
    } else if (target->Is({"api", "tiles"})) {
        res = SendJson(farm.Tiles());
    } else if (target->Is({"api", "machines"})) {
        MachineQuery query;
        if (!(problem = ParseMachineQuery(*target, &query)).empty()) res = SendError(http::status::bad_request, problem);
        else res = SendJson(farm.Machines(query));
    } else if (oneMachine && method == http::verb::delete_) {
        if (farm.Forget(segments[2])) res = Content(http::status::no_content, "application/json", "");
        else res = SendError(http::status::not_found, "no such machine");
    } else if (oneMachine) {
        if (auto machine = farm.Machine(segments[2])) res = SendJson(*machine);
        else res = SendError(http::status::not_found, "no such machine");
    } else if (segments.size() == 6 && segments[0] == "api" && segments[1] == "machines" && segments[3] == "items" &&
               IsDigits(segments[4], 6) && segments[5] == "thumbnail") {
        auto jpeg = farm.Thumbnail(segments[2], std::stoll(segments[4]));
        if (!jpeg) {
            res = SendError(http::status::not_found, "no thumbnail for this item");
        } else {
            res = Content(http::status::ok, "image/jpeg", *jpeg);
            // The page asks with ?v=VERSION, a new URL for each new image.
            res.set(http::field::cache_control, target->Has("v") ? "private, max-age=3600" : "no-cache");
        }
    } else if (target->Is({"api", "jobs"})) {
        int limit = ParseCount(*target, "limit", 50, 1000), offset = ParseCount(*target, "offset", 0, 1000000);
        JobFilter filter;
        if (limit < 0 || offset < 0) res = SendError(http::status::bad_request, "limit and offset are whole numbers");
        else if (!(problem = ParseFilter(*target, &filter)).empty()) res = SendError(http::status::bad_request, problem);
        else answer.history = [this, filter, limit, offset] { return SendJson(farm.Jobs(filter, limit, offset)); };
    } else if (target->Is({"api", "jobs.csv"})) {
        int limit = ParseCount(*target, "limit", kCsvRows, kCsvRows);
        JobFilter filter;
        if (limit < 0) {
            res = SendError(http::status::bad_request, "limit is a whole number");
        } else if (!(problem = ParseFilter(*target, &filter)).empty()) {
            res = SendError(http::status::bad_request, problem);
        } else {
            answer.history = [this, filter, limit] {
                Response csv = Content(http::status::ok, "text/csv; charset=utf-8", farm.JobsCsv(filter, limit));
                csv.set(http::field::content_disposition, "attachment; filename=\"brevant-jobs.csv\"");
                return csv;
            };
        }
    } else if (target->Is({"api", "hours"})) {
        JobFilter filter;
        if (!(problem = ParseFilter(*target, &filter)).empty()) res = SendError(http::status::bad_request, problem);
        else answer.history = [this, filter] { return SendJson(farm.RenderHours(filter)); };
    } else if (segments.size() == 3 && segments[0] == "api" && segments[1] == "jobs" && IsDigits(segments[2], 18)) {
        answer.history = [this, id = std::stoll(segments[2])] {
            if (auto job = farm.Job(id)) return SendJson(*job);
            return SendError(http::status::not_found, "no such job");
        };
    } else if (target->Is({"healthz"})) {
        res = Content(http::status::ok, "text/plain; charset=utf-8", "ok");
        res.set(http::field::cache_control, "no-store");
    } else if (target->Is({"readyz"})) {
        const FarmState::Readiness ready = farm.Ready();
        if (ready.broker && ready.history) {
            res = SendJson({{"broker", true}, {"history", true}});
        } else {
            const std::string missing = !ready.broker && !ready.history ? "the broker is not connected and the history is not open"
                                        : !ready.broker                 ? "the broker is not connected"
                                                                        : "the history is not open";
            res = SendJson({{"error", "not ready: " + missing}, {"broker", ready.broker}, {"history", ready.history}},
                           http::status::service_unavailable);
        }
    } else if (target->Is({"metrics"})) {
        res = Content(http::status::ok, "text/plain; version=0.0.4; charset=utf-8", farm.Metrics());
    } else if (target->Is({"events"})) {
        Interest interest;
        if (!(problem = ParseInterest(*target, &interest)).empty()) {
            res = SendError(http::status::bad_request, problem);
        } else if (method == http::verb::head) {
            res = Content(http::status::ok, "text/event-stream", "");
            res.set(http::field::cache_control, "no-store");
        } else {
            answer.events = std::move(interest);
        }
    } else {
        res = SendError(http::status::not_found, "not found");
    }
    return answer;
}

HttpService::HttpService(HttpOptions options, FarmState& farm, EventHub& hub)
    : impl_(std::make_unique<Impl>(std::move(options), farm, hub)) {}

HttpService::~HttpService() = default;

bool HttpService::Tls() const { return impl_->tls != nullptr; }

int HttpService::Bind() {
    Impl& server = *impl_;
    beast::error_code error;
    tcp::resolver resolver(server.loop);
    auto endpoints = resolver.resolve(server.options.listen, std::to_string(server.options.port),
                                      tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (!error && endpoints.empty()) error = asio::error::host_not_found;
    if (!error) {
        const tcp::endpoint endpoint = *endpoints.begin();
        server.acceptor.open(endpoint.protocol(), error);
        if (!error) server.acceptor.set_option(tcp::acceptor::reuse_address(true), error);
        if (!error) server.acceptor.bind(endpoint, error);
        if (!error) server.acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        beast::error_code ignored;
        server.acceptor.close(ignored);
        errno = error.category() == boost::system::system_category() ? error.value() : EADDRNOTAVAIL;
        return -1;
    }
    return server.acceptor.local_endpoint().port();
}

bool HttpService::Run() {
    Impl& server = *impl_;
    server.Accept();
    std::atomic<bool> failed{false};
    auto serve = [&] {
        try {
            server.loop.run();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "brevant-dashboard: the HTTP service failed: %s\n", error.what());
            failed = true;
            server.loop.stop();
        }
    };
    std::vector<std::thread> threads;
    for (int i = 1; i < server.options.threads; ++i) threads.emplace_back(serve);
    serve();
    for (auto& thread : threads) thread.join();
    return !failed;
}

void HttpService::Stop() { impl_->loop.stop(); }

}  // namespace dashboard
