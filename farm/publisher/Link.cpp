#include "Link.h"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "Platform.h"

namespace farm_publisher {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What libmosquitto may hold at once beyond the outbox: enough to keep a loopback or LAN link
// busy, little enough that a stalled broker leaves the dropping to the outbox.
constexpr size_t kWindowBytes = 256 * 1024;
constexpr milliseconds kFirstBackoff{250};
constexpr milliseconds kLastBackoff{10000};
constexpr milliseconds kPollInterval{100};

struct MosquittoDeleter {
    void operator()(mosquitto* client) const noexcept { mosquitto_destroy(client); }
};

// libmosquitto keeps process-wide state (OpenSSL's) set up once and never torn down: other
// libraries of the host may use it too.
void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

struct Link::Shared {
    Config config;
    Identity identity;
    std::shared_ptr<Outbox> outbox;
    std::unique_ptr<mosquitto, MosquittoDeleter> client;
    std::thread thread;

    std::atomic<bool> stop{false};
    std::mutex mutex;  // guards finished
    std::condition_variable finishedChanged;
    bool finished = false;
    LinkProblems problems;

    // ---- The network thread's own ----
    enum class State { Idle, Connecting, Connected } state = State::Idle;
    std::atomic<bool> failed{false};
    bool everConnected = false;
    bool attempted = false;
    bool stopping = false;  // the shutdown status is out (or waiting)
    milliseconds backoff = kFirstBackoff;
    SteadyClock::time_point nextAttempt;
    SteadyClock::time_point nextStatus;
    std::map<int, size_t> inflight;  // message id -> bytes, until libmosquitto is done with it
    size_t inflightBytes = 0;
    bool publishing = false;          // inside mosquitto_publish
    bool publishedDuringCall = false; // its own on_publish came before its id was known
    Tally published;
    uint64_t connects = 0;

    void Report(std::string text, bool fatal) {
        problems.Report(std::move(text), fatal);
        if (fatal) {
            failed = true;
            outbox->Close();
        }
    }

    // Certificates do not change by asking again.
    void ReportTlsFailure() {
        Report("TLS with " + config.Broker() +
                   " failed: check that BREVANT_FARM_CAFILE is the CA of the broker's certificate, and "
                   "BREVANT_FARM_CERTFILE and BREVANT_FARM_KEYFILE",
               true);
    }

    // A change of state (online at connect, offline at shutdown) goes at QoS 1, as the last will
    // does; the periodic refresh, which only moves the figures, at QoS 0, so that a subscriber's
    // persistent session does not queue one per machine and period while it is away.
    Message Status(std::string_view state, std::string_view reason, int qos) {
        LinkFigures figures;
        figures.dropped = outbox->Dropped();
        figures.published = published;
        figures.queueBytes = outbox->WaitingBytes();
        figures.limitBytes = outbox->LimitBytes();
        figures.connects = connects;
        return Message{identity.Topic(farm_wire::kStatusTopic), StatusPayload(identity, state, reason, &figures, farm_wire::WallMicros()), true, qos};
    }

    void Lost(SteadyClock::time_point now) {
        state = State::Idle;
        // libmosquitto drops what it had not written; what it resends after a reconnect is
        // no longer counted against the window.
        inflight.clear();
        inflightBytes = 0;
        nextAttempt = now + backoff;
        backoff = std::min(backoff * 2, kLastBackoff);
    }

    void OnConnect(int code) {
        if (code == 0) {
            state = State::Connected;
            everConnected = true;
            backoff = kFirstBackoff;
            ++connects;
            outbox->RequeueRetained();
            outbox->Push(stopping ? Status(farm_wire::kOffline, farm_wire::kReasonShutdown, 1)
                                  : Status(farm_wire::kOnline, {}, 1));
            nextStatus = SteadyClock::now() + std::chrono::seconds(config.statusSeconds);
            return;
        }
        // 1 protocol, 2 identifier, 4 credentials, 5 not authorised: asking again changes nothing.
        const bool final = code == 1 || code == 2 || code == 4 || code == 5;
        std::string text = "the broker at " + config.Broker() + " refused the connection: " +
                           mosquitto_connack_string(code);
        if (code == 4 || code == 5) text += " (check BREVANT_FARM_USERNAME and BREVANT_FARM_PASSWORD)";
        Report(text, final);
    }

    void OnPublish(int id) {
        const auto found = inflight.find(id);
        if (found != inflight.end()) {
            inflightBytes -= found->second;
            ++published.messages;
            published.bytes += found->second;
            inflight.erase(found);
        } else if (publishing) {
            publishedDuringCall = true;
        }
    }

    void Feed() {
        Message message;
        while ((inflightBytes < kWindowBytes || inflight.empty()) && outbox->Take(&message)) {
            const size_t size = message.topic.size() + message.payload.size();
            int id = 0;
            publishing = true;
            publishedDuringCall = false;
            const int rc = mosquitto_publish(client.get(), &id, message.topic.c_str(),
                                             static_cast<int>(message.payload.size()), message.payload.data(),
                                             message.qos, message.retained);
            publishing = false;
            if (rc != MOSQ_ERR_SUCCESS) {
                // Lost between two checks, or a size the broker refuses: the retained state
                // goes again after the reconnect; an event is lost like any dropped one.
                if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) return;
                continue;
            }
            if (publishedDuringCall) {
                ++published.messages;
                published.bytes += size;
            } else {
                inflight[id] = size;
                inflightBytes += size;
            }
        }
    }

    void Attempt(SteadyClock::time_point now) {
        const int rc = !attempted ? mosquitto_connect(client.get(), config.host.c_str(), config.port, config.keepaliveSeconds)
                                  : mosquitto_reconnect(client.get());
        attempted = true;
        if (rc == MOSQ_ERR_SUCCESS) {
            state = State::Connecting;
            return;
        }
        if (rc == MOSQ_ERR_TLS) {
            ReportTlsFailure();
            return;
        }
        if (rc == MOSQ_ERR_EAI) Report("cannot resolve the broker's host name " + config.host, false);
        if (rc == MOSQ_ERR_INVAL) {
            Report(std::string("cannot connect to ") + config.Broker() + ": " + mosquitto_strerror(rc), true);
            return;
        }
        Lost(now);
    }

    void Run() {
        std::optional<SteadyClock::time_point> stopDeadline;
        while (!failed) {
            SteadyClock::time_point now = SteadyClock::now();
            if (stop && !stopDeadline) {
                stopDeadline = now + milliseconds(config.shutdownWaitMs);
                stopping = true;
                outbox->Push(Status(farm_wire::kOffline, farm_wire::kReasonShutdown, 1));
            }
            // A connection under way (or a first one not yet tried: the render may have been
            // shorter than the thread's start) may still carry the last state out, and so may a
            // broker that was there and is restarting: the job's end is what the farm's history
            // needs most. A broker never reached is not waited for.
            if (stopDeadline && state == State::Idle && everConnected) nextAttempt = std::min(nextAttempt, now + kPollInterval);
            if (stopDeadline && ((state == State::Idle && attempted && !everConnected) || now >= *stopDeadline ||
                                 (state == State::Connected && outbox->Empty() && inflight.empty() &&
                                  !mosquitto_want_write(client.get())))) {
                break;
            }
            if (state == State::Idle && now >= nextAttempt) {
                Attempt(now);
                if (failed) break;
            }
            if (state == State::Connected) {
                // Not once the shutdown status is out: an "online" after it would stand as the
                // machine's state, and the clean disconnect leaves no will to correct it.
                if (!stopping && now >= nextStatus) {
                    outbox->Push(Status(farm_wire::kOnline, {}, 0));
                    nextStatus = now + std::chrono::seconds(config.statusSeconds);
                }
                Feed();
            }

            const int socket = mosquitto_socket(client.get());
            milliseconds timeout = kPollInterval;
            if (state == State::Idle && !stopDeadline) {
                timeout = std::clamp(std::chrono::duration_cast<milliseconds>(nextAttempt - now), milliseconds(0),
                                     kPollInterval);
            }
            const platform::Readiness ready = platform::WaitForSockets(
                outbox->Wakeup(), socket, socket >= 0 && mosquitto_want_write(client.get()), timeout);
            if (ready.woken) outbox->ClearWake();
            if (socket >= 0) {
                int rc = MOSQ_ERR_SUCCESS;
                if (ready.readable) rc = mosquitto_loop_read(client.get(), 16);
                if (rc == MOSQ_ERR_SUCCESS && ready.writable) rc = mosquitto_loop_write(client.get(), 16);
                if (rc == MOSQ_ERR_TLS && !everConnected) {
                    ReportTlsFailure();
                    break;
                }
            }
            mosquitto_loop_misc(client.get());
            now = SteadyClock::now();
            if (state != State::Idle && mosquitto_socket(client.get()) < 0) Lost(now);
        }
        if (state == State::Connected && !failed) {
            // A clean disconnect: the broker discards the last will.
            mosquitto_disconnect(client.get());
            mosquitto_loop_write(client.get(), 1);
        }
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        finishedChanged.notify_all();
    }
};

Link::Link(Config config, Identity identity, std::shared_ptr<Outbox> outbox) : shared_(std::make_shared<Shared>()) {
    shared_->config = std::move(config);
    shared_->identity = std::move(identity);
    shared_->outbox = std::move(outbox);
}

Link::~Link() { Stop(); }

bool Link::Start(std::string* error) {
    InitLibrary();
    Shared& s = *shared_;
    auto fail = [&](const std::string& what, int rc) {
        if (error != nullptr) *error = what + ": " + mosquitto_strerror(rc);
        s.client.reset();
        return false;
    };
    const std::string clientId = "brevant-" + s.identity.machine + "-" + std::to_string(s.identity.pid);
    s.client.reset(mosquitto_new(clientId.c_str(), true, &s));
    if (!s.client) return fail("cannot make an MQTT client", MOSQ_ERR_NOMEM);
    mosquitto* client = s.client.get();
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    // No cap on unacknowledged QoS 1 messages (libmosquitto's is 20, and it holds QoS 1 messages
    // beyond it while QoS 0 ones go at once): the messages leave in the outbox's order, and the
    // window bounds what is outstanding.
    mosquitto_max_inflight_messages_set(client, 0);
    mosquitto_connect_callback_set(client, [](mosquitto*, void* self, int code) {
        static_cast<Shared*>(self)->OnConnect(code);
    });
    mosquitto_publish_callback_set(client, [](mosquitto*, void* self, int id) {
        static_cast<Shared*>(self)->OnPublish(id);
    });
    if (!s.config.username.empty()) {
        const int rc = mosquitto_username_pw_set(client, s.config.username.c_str(),
                                                 s.config.password.empty() ? nullptr : s.config.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) return fail("BREVANT_FARM_USERNAME", rc);
    }
    if (!s.config.caFile.empty()) {
        const int rc = mosquitto_tls_set(client, s.config.caFile.c_str(), nullptr,
                                         s.config.certFile.empty() ? nullptr : s.config.certFile.c_str(),
                                         s.config.keyFile.empty() ? nullptr : s.config.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) return fail("BREVANT_FARM_CAFILE, BREVANT_FARM_CERTFILE, BREVANT_FARM_KEYFILE", rc);
    }
    const std::string will = StatusPayload(s.identity, farm_wire::kOffline, farm_wire::kReasonLost, nullptr, std::nullopt);
    const int rc = mosquitto_will_set(client, s.identity.Topic(farm_wire::kStatusTopic).c_str(), static_cast<int>(will.size()),
                                      will.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) return fail("the last will on " + s.identity.Topic(farm_wire::kStatusTopic), rc);
    // The thread holds its own reference: should a shutdown give up waiting for it, what it
    // uses stays alive until it ends.
    std::shared_ptr<Shared> keep = shared_;
    platform::KeepLibraryLoaded();
    s.thread = std::thread([keep] { keep->Run(); });
    return true;
}

std::optional<std::string> Link::TakeProblem() { return shared_->problems.Take(); }

void Link::Abandon() {
    if (!shared_->thread.joinable()) return;
    shared_->stop = true;
    shared_->thread.detach();
}

bool Link::Failed() const { return shared_->failed; }

void Link::Stop() {
    Shared& s = *shared_;
    if (!s.thread.joinable()) return;
    s.stop = true;
    s.outbox->Wake();
    std::unique_lock<std::mutex> lock(s.mutex);
    // The thread ends within a poll interval of the shutdown wait, unless the system holds it
    // in a connect call; then it is left to end on its own.
    const bool ended = s.finishedChanged.wait_for(
        lock, milliseconds(s.config.shutdownWaitMs) + 4 * kPollInterval, [&] { return s.finished; });
    lock.unlock();
    if (ended) {
        s.thread.join();
    } else {
        s.thread.detach();
    }
}

}  // namespace farm_publisher
