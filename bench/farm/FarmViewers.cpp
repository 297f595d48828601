// farm_viewers: V browsers' event streams on brevant-dashboard in one light process (one thread,
// Boost.Asio), for bench/farm/scale.py. Each viewer opens GET /events (with ?machine=NAME for
// each --machine: the machines it has open), reads the stream as it comes (chunked or not) and
// takes, for every `progress` event of a machine it has open (or, with no --machine, for every
// tile of a `tiles` event), its clock at arrival minus the frame's `ts` (the publisher's wall clock, microseconds).
// A tile is a frame's arrival once per viewer: sent again with the same frame (its machine's
// status or attention changed) or with a frame published before the window, it is only counted
// (tilesAgain), else a status refresh would pass for a frame seconds late.
// At the end it prints one JSON line: the latencies' p50/p99/max over every viewer, the same for
// the last viewer to get each frame (for each distinct frame ts, the latest arrival), the bytes
// read and the snapshots seen (a snapshot after the first is a resync: the viewer fell behind).
//
//   farm_viewers --url http://127.0.0.1:PORT/events --viewers 1000 --seconds 60 [--machine rn-00042 ...]
#include <time.h>

#include <algorithm>
#include <array>
#include <boost/asio.hpp>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <CLI/CLI.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

double CpuSeconds() {
    timespec used{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

int64_t NowMicros() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Latencies in 0.1 ms steps up to 100 s: percentiles without keeping every sample.
class Histogram {
public:
    Histogram() : counts_(1000000, 0) {}
    void Add(int64_t micros) {
        micros = std::max<int64_t>(0, micros);
        ++counts_[static_cast<size_t>(std::min<int64_t>(micros / 100, static_cast<int64_t>(counts_.size()) - 1))];
        ++count_;
        max_ = std::max(max_, micros);
    }
    int64_t count() const { return count_; }
    double PercentileMs(double p) const {
        if (count_ == 0) return -1;
        const int64_t rank = std::min<int64_t>(count_ - 1, static_cast<int64_t>(p / 100.0 * static_cast<double>(count_)));
        int64_t seen = 0;
        for (size_t i = 0; i < counts_.size(); ++i) {
            seen += counts_[i];
            if (seen > rank) return static_cast<double>(i) / 10.0 + 0.05;
        }
        return MaxMs();
    }
    double MaxMs() const { return static_cast<double>(max_) / 1000.0; }
    std::string Json() const {
        char text[160];
        std::snprintf(text, sizeof text, "\"count\":%" PRId64 ",\"p50Ms\":%.1f,\"p99Ms\":%.1f,\"maxMs\":%.1f", count_,
                      PercentileMs(50), PercentileMs(99), MaxMs());
        return text;
    }

private:
    std::vector<int64_t> counts_;
    int64_t count_ = 0, max_ = 0;
};

struct Totals {
    bool measuring = false;
    int64_t measuringSinceMicros = 0;  // wall clock: frames published before it are not measured
    Histogram latency;
    // A frame's ts (twice, plus 1 for a tile) -> its latest arrival's latency and which viewers got it.
    struct Last {
        int64_t micros = 0;
        int viewers = 0;
        std::vector<bool> byViewer;
    };
    std::unordered_map<int64_t, Last> last;
    // Tiles sent again with a frame a viewer already had (the machine's status or state changed,
    // not its frame): not a frame's arrival, so not a latency.
    int64_t bytes = 0, progress = 0, otherProgress = 0, tilesEvents = 0, tiles = 0, tilesAgain = 0, snapshots = 0, resyncs = 0;
    int64_t connected = 0, refused = 0, closed = 0, otherEvents = 0;
};

// The `ts` values of every "ts": key in `data` (null ones left out).
template <typename F>
void ForEachTs(std::string_view data, F&& f) {
    size_t at = 0;
    while ((at = data.find("\"ts\":", at)) != std::string_view::npos) {
        at += 5;
        while (at < data.size() && data[at] == ' ') ++at;
        int64_t value = 0;
        bool digits = false;
        for (; at < data.size() && data[at] >= '0' && data[at] <= '9'; ++at, digits = true) value = value * 10 + (data[at] - '0');
        if (digits && value > 0) f(value);
    }
}

class Viewer : public std::enable_shared_from_this<Viewer> {
public:
    Viewer(asio::io_context& io, Totals& totals, const std::set<std::string>& open, int index)
        : socket_(io), totals_(totals), open_(open), index_(index) {}

    void Start(const tcp::endpoint& endpoint, std::string request, std::function<void()> onReady) {
        request_ = std::move(request);
        onReady_ = std::move(onReady);
        socket_.async_connect(endpoint, [self = shared_from_this()](boost::system::error_code error) {
            if (error) return self->Fail(true);
            self->socket_.set_option(tcp::no_delay(true));
            asio::async_write(self->socket_, asio::buffer(self->request_),
                              [self](boost::system::error_code e, size_t) { e ? self->Fail(true) : self->Read(); });
        });
    }
    void Stop() {
        done_ = true;
        boost::system::error_code ignored;
        socket_.close(ignored);
    }

private:
    void Fail(bool refused) {
        if (done_) return;
        done_ = true;
        ++(refused || !headersDone_ ? totals_.refused : totals_.closed);
        boost::system::error_code ignored;
        socket_.close(ignored);  // a refusal kept alive would hold one of the service's workers
        if (!headersDone_ && onReady_) onReady_();
    }

    void Read() {
        socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](boost::system::error_code error, size_t n) {
            if (error) return self->Fail(false);
            self->now_ = NowMicros();
            if (self->totals_.measuring) self->totals_.bytes += static_cast<int64_t>(n);
            if (!self->Feed(self->buffer_.data(), n)) return self->Fail(true);
            self->Read();
        });
    }

    // The response: headers, then the body, de-chunked when chunked. False when refused.
    bool Feed(const char* p, size_t n) {
        if (!headersDone_) {
            head_.append(p, n);
            const size_t end = head_.find("\r\n\r\n");
            if (end == std::string::npos) return head_.size() < 65536;
            if (head_.compare(0, 12, "HTTP/1.1 200") != 0 && head_.compare(0, 12, "HTTP/1.0 200") != 0) return false;
            headersDone_ = true;
            ++totals_.connected;
            std::string lower = head_.substr(0, end);
            std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
            chunked_ = lower.find("transfer-encoding: chunked") != std::string::npos;
            const std::string rest = head_.substr(end + 4);
            head_.clear();
            head_.shrink_to_fit();
            if (onReady_) onReady_();
            onReady_ = nullptr;
            return Body(rest.data(), rest.size());
        }
        return Body(p, n);
    }

    bool Body(const char* p, size_t n) {
        if (!chunked_) return Sse(p, n), true;
        while (n > 0) {
            if (chunkLeft_ > 0) {
                const size_t take = static_cast<size_t>(std::min<int64_t>(chunkLeft_, static_cast<int64_t>(n)));
                Sse(p, take);
                p += take, n -= take, chunkLeft_ -= static_cast<int64_t>(take);
                if (chunkLeft_ == 0) chunkLeft_ = -2;  // its CRLF follows
                continue;
            }
            const char c = *p++;
            --n;
            if (chunkLeft_ < 0) {  // the CRLF after a chunk's data
                if (c == '\n') chunkLeft_ = 0;
                continue;
            }
            if (c == '\n') {  // a chunk's size line
                chunkLeft_ = std::strtoll(sizeLine_.c_str(), nullptr, 16);
                sizeLine_.clear();
                if (chunkLeft_ == 0) return false;  // the last chunk: the stream ended
            } else if (c != '\r') {
                sizeLine_ += c;
            }
        }
        return true;
    }

    void Sse(const char* p, size_t n) {
        while (n > 0) {
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', n));
            const size_t take = newline ? static_cast<size_t>(newline - p) : n;
            if (keep_) line_.append(p, take);
            lineLength_ += take;
            if (!newline) return;
            Line();
            p += take + 1, n -= take + 1;
        }
    }

    // A whole line: "event: NAME", "data: ...", or empty (the event is complete).
    void Line() {
        std::string_view line(line_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (lineLength_ == 0) {
            Dispatch();
            event_.clear();
        } else if (line.substr(0, 7) == "event: ") {
            event_ = std::string(line.substr(7));
        } else if (line.substr(0, 6) == "data: ") {
            data_.assign(line.substr(6));
        }
        lineLength_ = 0;
        if (line_.capacity() > (1 << 20)) std::string().swap(line_);
        line_.clear();
        // Only the data of the events measured is kept; a snapshot of a big farm is only counted.
        keep_ = event_.empty() || event_ == "progress" || event_ == "tiles";
    }

    void Dispatch() {
        if (event_ == "snapshot") {
            if (snapshots_++ > 0 && totals_.measuring) ++totals_.resyncs;
            if (totals_.measuring) ++totals_.snapshots;
        } else if (event_ == "progress") {
            Progress();
        } else if (event_ == "tiles") {
            if (!totals_.measuring) return;
            ++totals_.tilesEvents;
            // A viewer with machines open measures their `progress` events only: its tiles (every
            // machine's, 4 times a second) would drown the frames it watches.
            if (!open_.empty()) return;
            ForEachTs(data_, [&](int64_t ts) {
                if (ts < totals_.measuringSinceMicros) return ++totals_.tilesAgain, void();
                ++totals_.tiles;
                Record(ts * 2 + 1);
            });
        } else if (totals_.measuring && !event_.empty()) {
            ++totals_.otherEvents;
        }
        if (data_.capacity() > (1 << 20)) std::string().swap(data_);
        data_.clear();
    }

    void Progress() {
        if (!totals_.measuring) return;
        if (!open_.empty()) {  // a service that sends every machine's frames to everybody
            const size_t at = data_.find("\"machine\":\"");
            const size_t end = at == std::string::npos ? at : data_.find('"', at + 11);
            if (end == std::string::npos || !open_.count(data_.substr(at + 11, end - at - 11))) {
                ++totals_.otherProgress;
                return;
            }
        }
        ++totals_.progress;
        bool first = true;
        ForEachTs(data_, [&](int64_t ts) {
            if (first) Record(ts * 2);
            first = false;
        });
    }

    void Record(int64_t key) {
        Totals::Last& last = totals_.last[key];
        if (last.byViewer.size() <= static_cast<size_t>(index_)) last.byViewer.resize(index_ + 1);
        if (last.byViewer[index_]) {
            --totals_.tiles;
            ++totals_.tilesAgain;
            return;
        }
        last.byViewer[index_] = true;
        const int64_t latency = now_ - key / 2;
        totals_.latency.Add(latency);
        last.micros = std::max(last.micros, latency);
        ++last.viewers;
    }

    tcp::socket socket_;
    Totals& totals_;
    const std::set<std::string>& open_;
    std::string request_;
    std::function<void()> onReady_;
    std::array<char, 65536> buffer_{};
    int64_t now_ = 0;
    bool done_ = false, headersDone_ = false, chunked_ = false, keep_ = true;
    std::string head_, sizeLine_, line_, event_, data_;
    size_t lineLength_ = 0;
    int64_t chunkLeft_ = 0;
    int snapshots_ = 0;
    int index_ = 0;
};

struct Url {
    std::string host, port, path;
};

Url ParseUrl(const std::string& url) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) throw std::runtime_error("not an http:// URL: " + url);
    const size_t slash = url.find('/', scheme.size());
    const std::string authority = url.substr(scheme.size(), slash - scheme.size());
    const size_t colon = authority.rfind(':');
    return {authority.substr(0, colon), colon == std::string::npos ? "80" : authority.substr(colon + 1),
            slash == std::string::npos ? "/" : url.substr(slash)};
}

}  // namespace

int main(int argc, char** argv) {
    std::string url = "http://127.0.0.1:8080/events", token;
    int viewers = 1, parallel = 64;
    double seconds = 10, warmup = 2;
    std::vector<std::string> machines;
    CLI::App app{"farm_viewers: V event-stream viewers of brevant-dashboard, measuring each frame's latency", "farm_viewers"};
    app.add_option("--url", url, "the event stream");
    app.add_option("--viewers", viewers, "connections")->check(CLI::Range(1, 100000));
    app.add_option("--machine", machines, "a machine every viewer has open (repeatable)");
    app.add_option("--seconds", seconds, "how long to measure");
    app.add_option("--warmup", warmup, "seconds after the last viewer connected before measuring");
    app.add_option("--parallel", parallel, "connections being opened at once");
    app.add_option("--token", token, "bearer token")->envname("BREVANT_DASHBOARD_TOKEN");
    CLI11_PARSE(app, argc, argv);

    Url target;
    try {
        target = ParseUrl(url);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "farm_viewers: %s\n", error.what());
        return 2;
    }
    std::string path = target.path;
    for (const std::string& machine : machines) path += (path.find('?') == std::string::npos ? "?" : "&") + ("machine=" + machine);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + target.host + ":" + target.port +
                                "\r\nAccept: text/event-stream\r\n" +
                                (token.empty() ? std::string() : "Authorization: Bearer " + token + "\r\n") + "\r\n";
    const std::set<std::string> open(machines.begin(), machines.end());

    asio::io_context io;
    tcp::resolver resolver(io);
    const tcp::endpoint endpoint = *resolver.resolve(target.host, target.port).begin();
    Totals totals;
    std::vector<std::shared_ptr<Viewer>> all;
    int started = 0, ready = 0;
    asio::steady_timer timer(io);
    double measured = 0, cpuStart = 0, cpu = 0;
    std::chrono::steady_clock::time_point measureStart;

    std::function<void()> next;
    const auto beginMeasuring = [&]() {
        timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(warmup)));
        timer.async_wait([&](boost::system::error_code) {
            totals.measuring = true;
            totals.measuringSinceMicros = NowMicros();
            measureStart = std::chrono::steady_clock::now();
            cpuStart = CpuSeconds();
            timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds)));
            timer.async_wait([&](boost::system::error_code) {
                totals.measuring = false;
                measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - measureStart).count();
                cpu = CpuSeconds() - cpuStart;
                for (auto& viewer : all) viewer->Stop();
            });
        });
    };
    // Connections open `parallel` at a time: each one answered lets the next start.
    next = [&]() {
        if (started >= viewers) return;
        ++started;
        auto viewer = std::make_shared<Viewer>(io, totals, open, started - 1);
        all.push_back(viewer);
        viewer->Start(endpoint, request, [&]() {
            if (++ready == viewers) beginMeasuring();
            next();
        });
    };
    for (int i = 0; i < std::min(parallel, viewers); ++i) next();
    io.run();

    Histogram last;
    int64_t byAll = 0;
    for (const auto& [key, entry] : totals.last) {
        last.Add(entry.micros);
        if (entry.viewers >= totals.connected - totals.closed) ++byAll;
    }
    std::printf("{\"viewers\":%d,\"connected\":%" PRId64 ",\"refused\":%" PRId64 ",\"closed\":%" PRId64
                ",\"seconds\":%.1f,\"cpuSeconds\":%.2f,%s,\"lastViewer\":{%s,\"seenByAll\":%" PRId64 "},\"progressEvents\":%" PRId64
                ",\"otherMachinesProgress\":%" PRId64 ",\"tilesEvents\":%" PRId64 ",\"tiles\":%" PRId64 ",\"tilesAgain\":%" PRId64
                ",\"otherEvents\":%" PRId64 ",\"bytes\":%" PRId64 ",\"snapshots\":%" PRId64 ",\"resyncs\":%" PRId64 "}\n",
                viewers, totals.connected, totals.refused, totals.closed, measured, cpu, totals.latency.Json().c_str(),
                last.Json().c_str(), byAll, totals.progress, totals.otherProgress, totals.tilesEvents, totals.tiles,
                totals.tilesAgain, totals.otherEvents, totals.bytes, totals.snapshots, totals.resyncs);
    return totals.connected > 0 ? 0 : 1;
}
