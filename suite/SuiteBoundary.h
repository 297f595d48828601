// The one exception firewall of Brevant's C entry points. Every suite operation runs its common
// steps and its body through these helpers; nothing thrown inside crosses them.
#pragma once

#include <exception>
#include <memory>

#include "plugin/BrevantPlugin.h"
#include "session/BrevantSession.h"
#include <brevant/monitor.h>

namespace brevant {

// An integer exception is the host's code (a failing host query throws it) and passes on as it
// is; a standard exception is turned into a code by the host; anything else is
// kBrevantErrUnknownException. A code of 0 would claim a success whose out-parameters were never
// written, so it becomes kBrevantErrUnknownException too. (Clients have CatchToClientCode, which
// trusts no thrown integer.)
template <typename Body>
HostErr CatchToHostCode(const Body& body) noexcept {
    HostErr code;
    try {
        return body();
    } catch (int32_t thrown) {
        code = thrown;
    } catch (const std::exception& error) {
        try {
            code = HostReportException(error);
        } catch (...) {
            code = kBrevantErrUnknownException;
        }
    } catch (...) {
        code = kBrevantErrUnknownException;
    }
    return code != kHostErrNone ? code : kBrevantErrUnknownException;
}

// Steps shared by every operation: the main-thread check, the entry line, the plug-in object.
// `logEntry` writes the entry line; `body` gets the running plug-in.
template <typename LogEntry, typename Body>
HostErr PluginOperation(const char* name, HostErr notRunning, const LogEntry& logEntry, const Body& body) noexcept {
    return CatchToHostCode([&]() -> HostErr {
        if (!HostIsOnMainThread()) {
            HostLog(0, "Contract Violation", name, "main-thread-only routine called on non-main thread");
        }
        logEntry();
        BrevantPlugin* plugin = RunningPlugin();
        if (!plugin) return notRunning;
        return body(*plugin);
    });
}

// ... and for operations with a session id, the current session, held for the whole call.
template <typename Body>
HostErr SessionOperation(const char* name, int64_t sessionId, const Body& body) noexcept {
    return PluginOperation(
        name, kBrevantErrRejected, [name] { HostLog(0, "Brevant", name, "called"); },
        [&](BrevantPlugin& plugin) -> HostErr {
            const std::shared_ptr<BrevantSession> session = plugin.GetSession(sessionId);
            if (!session) return kBrevantErrRejected;
            return body(plugin, *session);
        });
}

}  // namespace brevant
