// brevant-dashboard: the farm's service. Follows the farm publishers on an MQTT broker and serves
// the live page, the JSON API, Prometheus metrics and webhooks, with the job history in SQLite.
//
// Threads: main and --http-threads - 1 more run the HTTP event loop (two more answer the history's
// queries); libmosquitto's network thread applies messages; the ticker looks for stalled items and
// flushes the tiles; the notifier posts webhooks; the signal thread waits for SIGINT or SIGTERM and
// stops the rest. Under systemd (Type=notify) it says READY=1 once it serves, and STOPPING=1.
#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "farm/dashboard/Database.h"
#include "farm/dashboard/EventHub.h"
#include "farm/dashboard/FarmState.h"
#include "farm/dashboard/History.h"
#include "farm/dashboard/HttpService.h"
#include "farm/dashboard/MqttSource.h"
#include "farm/dashboard/Notifier.h"
#include "farm/wire/SecretFile.h"
#include "farm/wire/Wire.h"

#ifndef BREVANT_DASHBOARD_WEB_DIR
#define BREVANT_DASHBOARD_WEB_DIR "web"
#endif
#ifndef BREVANT_DASHBOARD_BIN_TO_WEB
#define BREVANT_DASHBOARD_BIN_TO_WEB "../share/brevant/dashboard/web"
#endif

namespace {

using namespace dashboard;

struct Options {
    BrokerOptions broker;
    HttpOptions http;
    FarmOptions farm;
    std::string database = "brevant-dashboard.sqlite";
    std::vector<std::string> webhookTexts;  // as given, read into webhooks after parsing
    std::vector<Webhook> webhooks;
    std::string tokenFile, brokerPasswordFile;
    double retireAfterDays = 7;
};

// A secret from a file only the service should read (trailing line end stripped): false, after
// one line naming the file, when it cannot be read or is empty; a warning when the file's group or
// others may read it.
bool ReadSecret(const char* option, const std::string& path, std::string* secret) {
    const std::string problem = farm_wire::ReadSecretFile(path, secret);
    if (!problem.empty()) {
        std::fprintf(stderr, "brevant-dashboard: %s: %s\n", option, problem.c_str());
        return false;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0)
        std::fprintf(stderr, "brevant-dashboard: warning: %s %s is readable by %s; make it the service's alone (chmod 600)\n",
                     option, path.c_str(), (info.st_mode & S_IROTH) != 0 ? "every user" : "its group");
    return true;
}

// The page's files: --web-root, else where the install put them relative to the executable
// (share/brevant/dashboard/web beside bin/, also in a moved or unpacked prefix), else the source
// tree this binary was built from.
std::string DefaultWebRoot() {
    std::error_code error;
    auto installed = (std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / BREVANT_DASHBOARD_BIN_TO_WEB)
                         .lexically_normal();
    if (!error && std::filesystem::exists(installed / "index.html", error)) return installed.string();
    return BREVANT_DASHBOARD_WEB_DIR;
}

// The broker keeps one session per client id: this dashboard's is the same at every restart, so
// that what the broker queued for it while it was away reaches it; another dashboard on the same
// machine (its own database, address or port) has its own. 8 hex digits of FNV-1a over those
// options as given, an SQLite file's path made absolute (a PostgreSQL URI as it is).
std::string DefaultClientId(const Options& options) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string shortHost(host, std::strcspn(host, "."));
    std::error_code error;
    const std::string database = IsPostgresUri(options.database)
        ? options.database
        : std::filesystem::absolute(options.database, error).lexically_normal().string();
    uint32_t hash = 2166136261u;
    for (const std::string& part : {database, options.http.listen, std::to_string(options.http.port)}) {
        for (unsigned char c : part) hash = (hash ^ c) * 16777619u;
        hash *= 16777619u;  // a 0 byte between parts: "ab" "c" is not "a" "bc"
    }
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(hash));
    return "brevant-dashboard-" + (shortHost.empty() ? std::string() : shortHost + "-") + digits;
}

// Returns the exit code when the process should end now (help, or a bad option).
int Parse(int argc, char** argv, Options& options) {
    CLI::App app{"brevant-dashboard: the render farm's live page, REST API, metrics, webhooks and job history.",
                 "brevant-dashboard"};
    app.option_defaults()->always_capture_default();
    // Every option by its flag's name, without the dashes; flags given as well win over the file.
    app.set_config("--config", "", "read options from this TOML or INI file (keys: the options' names, as port = 8080)");
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_option("--broker-host", options.broker.host, "MQTT broker host");
    app.add_option("--broker-port", options.broker.port, "MQTT broker port")->check(CLI::Range(1, 65535));
    app.add_option("--broker-user", options.broker.username, "MQTT user name");
    auto* brokerPassword = app.add_option("--broker-password", options.broker.password, "MQTT password")
        ->envname("BREVANT_MQTT_PASSWORD")->capture_default_str();
    app.add_option("--broker-password-file", options.brokerPasswordFile, "read the MQTT password from this file, read once at start")
        ->excludes(brokerPassword);
    app.add_option("--broker-ca", options.broker.caFile, "connect with TLS, trusting this CA bundle (PEM)")
        ->check(CLI::ExistingFile);
    app.add_option("--prefix", options.broker.prefix, "the publishers' topic prefix")
        ->check([](const std::string& prefix) {
            return farm_wire::ValidPrefix(prefix)
                       ? std::string()
                       : std::string("a topic prefix: levels without '+', '#', empty levels or control characters");
        });
    app.add_option("--listen", options.http.listen, "address to listen on (loopback unless told otherwise)");
    app.add_option("--port", options.http.port, "HTTP port (0: any free port, printed at start)")->check(CLI::Range(0, 65535));
    app.add_option("--db", options.database,
                   "the job history: an SQLite file, or a PostgreSQL server shared by several dashboards "
                   "(postgresql://USER@HOST:PORT/DATABASE; the password from PGPASSWORD or ~/.pgpass)");
    app.add_option("--keep-days", options.farm.retention.days, "ended jobs are kept this many days (0: no bound by age)")
        ->check(CLI::Range(0, 100000));
    app.add_option("--keep-jobs", options.farm.retention.jobs, "and at most this many ended jobs (0: no bound by count)")
        ->check(CLI::Range(int64_t{0}, int64_t{1000000000}));
    app.add_option("--client-id", options.broker.clientId,
                   "MQTT client id, naming the session the broker keeps while the dashboard is away "
                   "(default: brevant-dashboard-HOST-HASH of --db, --listen and --port)");
    auto* token = app.add_option("--token", options.http.token, "bearer token every request must carry (header, cookie or ?access_token=)")
        ->envname("BREVANT_DASHBOARD_TOKEN");
    app.add_option("--token-file", options.tokenFile, "read the bearer token from this file, read once at start")->excludes(token);
    app.add_option("--webhook", options.webhookTexts,
                   "\"URL [events=KIND,...] [projects=NAME,...]\": POST notifications there, those of these kinds "
                   "and projects only when given (repeatable)");
    app.add_option("--stall-factor", options.farm.stallFactor,
                   "an item is stalled after this many of its median frame times without a frame")
        ->check(CLI::Range(1.5, 1000.0));
    app.add_option("--silent-after", options.farm.silentAfterSeconds,
                   "an online machine heard nothing from for this many seconds is offline, its job lost "
                   "(longer than the publishers' BREVANT_FARM_STATUS_SECONDS)")
        ->check(CLI::Range(5, 86400));
    app.add_option("--max-machines", options.farm.maxMachines, "machines shown at once; messages of more are dropped and counted")
        ->check(CLI::Range(size_t{1}, size_t{1000000}));
    app.add_option("--retire-after-days", options.retireAfterDays,
                   "a machine offline this many days (fractions allowed) leaves the live views; its history stays")
        ->check(CLI::Range(0.00001, 100000.0));
    app.add_option("--max-event-clients", options.http.maxEventClients, "event streams (browsers) connected at once")
        ->check(CLI::Range(1, 100000));
    app.add_option("--http-threads", options.http.threads, "threads serving HTTP, every connection among them")
        ->check(CLI::Range(1, 64));
    auto* tlsCert = app.add_option("--tls-cert", options.http.tlsCert, "serve HTTPS with this certificate chain (PEM)")
        ->check(CLI::ExistingFile);
    auto* tlsKey = app.add_option("--tls-key", options.http.tlsKey, "and this private key (PEM)")->check(CLI::ExistingFile);
    tlsCert->needs(tlsKey);
    tlsKey->needs(tlsCert);
    app.add_option("--web-root", options.http.webRoot, "folder with the page's files")->check(CLI::ExistingDirectory);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        // CLI11 words an unknown key in the file as "INI was not able to parse KEY".
        const std::string text = error.what();
        const std::string unknown = "INI was not able to parse ";
        // A [section] header comes first as "section.++".
        const std::string section = ".++";
        if (dynamic_cast<const CLI::ConfigError*>(&error) && text.rfind(unknown, 0) == 0) {
            const std::string key = text.substr(unknown.size()), file = app.get_config_ptr()->as<std::string>();
            if (key.size() > section.size() && key.compare(key.size() - section.size(), section.size(), section) == 0)
                std::fprintf(stderr, "brevant-dashboard: %s: a [%s] section: there are none, every key is at the top level (as port = 8080)\n",
                             file.c_str(), key.substr(0, key.size() - section.size()).c_str());
            else
                std::fprintf(stderr, "brevant-dashboard: %s: unknown key \"%s\" (keys are the options' names, as port)\n", file.c_str(),
                             key.c_str());
        } else {
            std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
        }
        return 1;
    }
    for (const std::string& text : options.webhookTexts) {
        const std::string problem = ParseWebhook(text, &options.webhooks.emplace_back());
        if (!problem.empty()) {
            std::fprintf(stderr, "brevant-dashboard: --webhook: %s\n", problem.c_str());
            return 1;
        }
    }
    if (!options.tokenFile.empty() && !ReadSecret("--token-file", options.tokenFile, &options.http.token)) return 1;
    if (!options.brokerPasswordFile.empty() &&
        !ReadSecret("--broker-password-file", options.brokerPasswordFile, &options.broker.password))
        return 1;
    if (options.http.webRoot.empty()) options.http.webRoot = DefaultWebRoot();
    options.farm.prefix = options.broker.prefix;
    options.farm.retireAfter = std::chrono::milliseconds(static_cast<int64_t>(options.retireAfterDays * 86400000.0));
    if (options.broker.clientId.empty()) options.broker.clientId = DefaultClientId(options);
    return -1;
}

// Every viewer's event stream is a socket: as many as the hard limit allows, not the usual 1024.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Waits for SIGINT or SIGTERM, which every other thread has blocked.
class SignalWaiter {
public:
    SignalWaiter() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    }
    void Wait() {
        int signal = 0;
        sigwait(&signals_, &signal);
    }
    // Wakes Wait when the service ends for another reason.
    void Interrupt() { kill(getpid(), SIGTERM); }

private:
    sigset_t signals_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int code = Parse(argc, argv, options); code >= 0) return code;
    SignalWaiter signals;  // before any thread starts, so they all inherit the mask
    RaiseDescriptorLimit();

    try {
        History history(options.database);
        MosquittoLibrary library;
        Notifier notifier(std::move(options.webhooks), WebhookPolicy{});
        EventHub hub(options.http.maxEventClients, 10000, 64 << 20);
        FarmState farm(options.farm, hub, notifier, history);
        HttpService http(options.http, farm, hub);
        const int port = http.Bind();
        if (port < 0) {
            std::fprintf(stderr, "brevant-dashboard: cannot listen on %s:%d: %s\n", options.http.listen.c_str(),
                         options.http.port, std::strerror(errno));
            return 1;
        }
        MqttSource source(options.broker, farm);

        std::mutex tickMutex;
        std::condition_variable tickWake;
        bool stopping = false;
        std::thread ticker([&] {
            std::unique_lock<std::mutex> lock(tickMutex);
            while (!tickWake.wait_for(lock, options.farm.flushEvery, [&] { return stopping; })) {
                farm.Tick();
                farm.Maintain();
                farm.Flush();
            }
        });
        std::thread stopper([&] {
            signals.Wait();
            sd_notify(0, "STOPPING=1");
            hub.Close();
            http.Stop();
        });
        const std::string url = std::string(http.Tls() ? "https" : "http") + "://" + options.http.listen + ":" + std::to_string(port) + "/";
        std::printf("brevant-dashboard: listening on %s (broker %s:%d, prefix %s, client id %s)\n", url.c_str(),
                    options.broker.host.c_str(), options.broker.port, options.broker.prefix.c_str(), options.broker.clientId.c_str());
        std::fflush(stdout);
        // The history is open and the port bound: a connection now waits in the backlog for Run.
        // Without NOTIFY_SOCKET (not started by systemd) this does nothing.
        sd_notify(0, ("READY=1\nSTATUS=serving " + url).c_str());
        bool served = http.Run();
        if (!served) signals.Interrupt();
        stopper.join();
        {
            std::lock_guard<std::mutex> lock(tickMutex);
            stopping = true;
        }
        tickWake.notify_all();
        ticker.join();
        return served ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "brevant-dashboard: %s\n", error.what());
        return 1;
    }
}
