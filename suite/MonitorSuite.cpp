// The 18 operations of the monitor suite. Each is its common steps (SuiteBoundary.h), one
// session query and the hand-off of what it found: counts are written, strings become memory
// handles (key before value). Out-parameters are written only on success.
#include "suite/MonitorSuite.h"

#include "suite/SuiteBoundary.h"

namespace brevant {
namespace {

// Only the low 32 bits of an item id name an item.
int32_t ItemIdOf(int64_t itemId) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(itemId))); }

// A count of some list. `count` gets the number when `query` finds the list.
template <typename Query>
HostErr CountOperation(const char* name, int64_t sessionId, int32_t* outCount, const Query& query) noexcept {
    return SessionOperation(name, sessionId, [&](BrevantPlugin&, BrevantSession& session) -> HostErr {
        if (!outCount) return kBrevantErrRejected;
        uint32_t count = 0;
        if (!query(session, count)) return kBrevantErrRejected;
        *outCount = static_cast<int32_t>(count);
        return kBrevantErrNone;
    });
}

template <typename Size>
bool Counted(const Size* list, uint32_t& count) {
    if (!list) return false;
    count = static_cast<uint32_t>(list->size());
    return true;
}

// A key/value pair of some list; `query` answers the pair or null.
template <typename Query>
HostErr PairOperation(const char* name, int64_t sessionId, HostMemoryHandle* outKey, HostMemoryHandle* outValue,
                      const Query& query) noexcept {
    return SessionOperation(name, sessionId, [&](BrevantPlugin& plugin, BrevantSession& session) -> HostErr {
        if (!outKey || !outValue) return kBrevantErrRejected;
        const Property* pair = query(session);
        if (!pair) return kBrevantErrRejected;
        const HostErr keyResult = plugin.ConvertStringToMemHandle(pair->key, outKey);
        if (keyResult != kHostErrNone) return keyResult;
        return plugin.ConvertStringToMemHandle(pair->value, outValue);
    });
}

// One text of the session, or null.
template <typename Query>
HostErr TextOperation(const char* name, int64_t sessionId, HostMemoryHandle* outText, const Query& query) noexcept {
    return SessionOperation(name, sessionId, [&](BrevantPlugin& plugin, BrevantSession& session) -> HostErr {
        if (!outText) return kBrevantErrRejected;
        const HostString* text = query(session);
        if (!text) return kBrevantErrRejected;
        return plugin.ConvertStringToMemHandle(*text, outText);
    });
}

template <typename Body>
HostErr RegistryOperation(const char* name, HostErr notRunning, int32_t pluginId, uint64_t refcon,
                          const Body& body) noexcept {
    return PluginOperation(
        name, notRunning,
        [&] {
            HostLog(0, "Brevant", name, "plugin=%x, refcon=%llx", static_cast<unsigned>(pluginId),
                    static_cast<unsigned long long>(refcon));
        },
        body);
}

extern "C" {

HostErr Brevant_RegisterListener(int32_t pluginId, uint64_t refcon, const ListenerCallbacks* callbacks) {
    return RegistryOperation("Brevant_RegisterListener", kBrevantErrNotRunning, pluginId, refcon,
                             [&](BrevantPlugin& plugin) -> HostErr {
                                 if (!callbacks) return kBrevantErrNotRunning;
                                 return plugin.Listeners().AddListener(pluginId, refcon, callbacks)
                                            ? kBrevantErrNone
                                            : kBrevantErrNotRunning;
                             });
}

HostErr Brevant_DeregisterListener(int32_t pluginId, uint64_t refcon) {
    return RegistryOperation("Brevant_DeregisterListener", kBrevantErrRejected, pluginId, refcon,
                             [&](BrevantPlugin& plugin) -> HostErr {
                                 return plugin.Listeners().RemoveListener(pluginId, refcon) ? kBrevantErrNone
                                                                                           : kBrevantErrRejected;
                             });
}

HostErr Brevant_GetProjectName(int64_t sessionId, HostMemoryHandle* outName) {
    return TextOperation("Brevant_GetProjectName", sessionId, outName,
                         [](const BrevantSession& s) { return &s.projectName; });
}

HostErr Brevant_GetAppVersion(int64_t sessionId, HostMemoryHandle* outVersion) {
    return TextOperation("Brevant_GetAppVersion", sessionId, outVersion,
                         [](const BrevantSession& s) { return &s.appVersion; });
}

HostErr Brevant_GetNumJobItems(int64_t sessionId, int32_t* outCount) {
    return CountOperation("Brevant_GetNumJobItems", sessionId, outCount,
                          [](const BrevantSession& s, uint32_t& count) { return Counted(&s.jobItemIds, count); });
}

HostErr Brevant_GetJobItemID(int64_t sessionId, int32_t itemIndex, int64_t* outItemId) {
    return SessionOperation("Brevant_GetJobItemID", sessionId, [&](BrevantPlugin&, BrevantSession& s) -> HostErr {
        if (!outItemId) return kBrevantErrRejected;
        int32_t itemId = 0;
        if (!s.GetJobItemID(itemIndex, itemId)) return kBrevantErrRejected;
        *outItemId = itemId;
        return kBrevantErrNone;
    });
}

HostErr Brevant_GetNumJobItemRenderSettings(int64_t sessionId, int64_t itemId, int32_t* outCount) {
    return CountOperation("Brevant_GetNumJobItemRenderSettings", sessionId, outCount,
                          [&](const BrevantSession& s, uint32_t& count) {
                              return Counted(s.JobItemRenderSettings(ItemIdOf(itemId)), count);
                          });
}

HostErr Brevant_GetJobItemRenderSetting(int64_t sessionId, int64_t itemId, int32_t settingIndex,
                                        HostMemoryHandle* outKey, HostMemoryHandle* outValue) {
    return PairOperation("Brevant_GetJobItemRenderSetting", sessionId, outKey, outValue,
                         [&](const BrevantSession& s) { return s.GetJobItemRenderSetting(ItemIdOf(itemId), settingIndex); });
}

HostErr Brevant_GetNumJobItemOutputModules(int64_t sessionId, int64_t itemId, int32_t* outCount) {
    return CountOperation("Brevant_GetNumJobItemOutputModules", sessionId, outCount,
                          [&](const BrevantSession& s, uint32_t& count) {
                              return Counted(s.JobItemOutputModuleSettings(ItemIdOf(itemId)), count);
                          });
}

HostErr Brevant_GetNumJobItemOutputModuleSettings(int64_t sessionId, int64_t itemId, int32_t moduleIndex,
                                                  int32_t* outCount) {
    return CountOperation("Brevant_GetNumJobItemOutputModuleSettings", sessionId, outCount,
                          [&](const BrevantSession& s, uint32_t& count) {
                              return Counted(s.JobItemOutputModuleSettingList(ItemIdOf(itemId), moduleIndex), count);
                          });
}

HostErr Brevant_GetJobItemOutputModuleSetting(int64_t sessionId, int64_t itemId, int32_t moduleIndex,
                                              int32_t settingIndex, HostMemoryHandle* outKey,
                                              HostMemoryHandle* outValue) {
    return PairOperation("Brevant_GetJobItemOutputModuleSetting", sessionId, outKey, outValue,
                         [&](const BrevantSession& s) {
                             return s.GetJobItemOutputModuleSetting(ItemIdOf(itemId), moduleIndex, settingIndex);
                         });
}

HostErr Brevant_GetNumJobItemOutputModuleWarnings(int64_t sessionId, int64_t itemId, int32_t moduleIndex,
                                                  int32_t* outCount) {
    return CountOperation("Brevant_GetNumJobItemOutputModuleWarnings", sessionId, outCount,
                          [&](const BrevantSession& s, uint32_t& count) {
                              return Counted(s.JobItemOutputModuleWarningList(ItemIdOf(itemId), moduleIndex), count);
                          });
}

HostErr Brevant_GetJobItemOutputModuleWarning(int64_t sessionId, int64_t itemId, int32_t moduleIndex,
                                              int32_t warningIndex, HostMemoryHandle* outText) {
    return TextOperation("Brevant_GetJobItemOutputModuleWarning", sessionId, outText, [&](const BrevantSession& s) {
        return s.GetJobItemOutputModuleWarning(ItemIdOf(itemId), moduleIndex, warningIndex);
    });
}

HostErr Brevant_GetNumJobItemFrameProperties(int64_t sessionId, int64_t itemId, int64_t frameId, int32_t* outCount) {
    return CountOperation("Brevant_GetNumJobItemFrameProperties", sessionId, outCount,
                          [&](BrevantSession& s, uint32_t& count) {
                              return s.GetNumJobItemFrameProperties(ItemIdOf(itemId), frameId, count);
                          });
}

HostErr Brevant_GetJobItemFrameProperty(int64_t sessionId, int64_t itemId, int64_t frameId, int32_t propertyIndex,
                                        HostMemoryHandle* outKey, HostMemoryHandle* outValue) {
    return PairOperation("Brevant_GetJobItemFrameProperty", sessionId, outKey, outValue, [&](const BrevantSession& s) {
        return s.GetJobItemFrameProperty(ItemIdOf(itemId), frameId, propertyIndex);
    });
}

HostErr Brevant_GetNumJobItemOutputModuleProperties(int64_t sessionId, int64_t itemId, int32_t moduleIndex,
                                                    int32_t* outCount) {
    return CountOperation("Brevant_GetNumJobItemOutputModuleProperties", sessionId, outCount,
                          [&](BrevantSession& s, uint32_t& count) {
                              return s.GetNumJobItemOutputModuleProperties(ItemIdOf(itemId), moduleIndex, count);
                          });
}

HostErr Brevant_GetJobItemOutputModuleProperty(int64_t sessionId, int64_t itemId, int32_t moduleIndex,
                                               int32_t propertyIndex, HostMemoryHandle* outKey,
                                               HostMemoryHandle* outValue) {
    return PairOperation("Brevant_GetJobItemOutputModuleProperty", sessionId, outKey, outValue,
                         [&](const BrevantSession& s) {
                             return s.GetJobItemOutputModuleProperty(ItemIdOf(itemId), moduleIndex, propertyIndex);
                         });
}

HostErr Brevant_GetJobItemFrameThumbnail(int64_t sessionId, int64_t itemId, int64_t frameId, int32_t* inOutWidth,
                                         int32_t* inOutHeight, HostMemoryHandle* outJpeg) {
    return SessionOperation("Brevant_GetJobItemFrameThumbnail", sessionId,
                            [&](BrevantPlugin& plugin, BrevantSession& s) -> HostErr {
                                if (!inOutWidth || !inOutHeight || !outJpeg) return kBrevantErrRejected;
                                int32_t width = *inOutWidth;
                                int32_t height = *inOutHeight;
                                std::vector<uint8_t> jpeg;
                                if (!s.GetJobItemFrameThumbnail(ItemIdOf(itemId), frameId, width, height, jpeg)) {
                                    return kBrevantErrRejected;
                                }
                                *inOutWidth = width;
                                *inOutHeight = height;
                                return plugin.ConvertThumbnailToMemHandle(jpeg, outJpeg);
                            });
}

}  // extern "C"
}  // namespace

const BrevantMonitorSuite1 kMonitorSuite = {
    Brevant_RegisterListener,
    Brevant_DeregisterListener,
    Brevant_GetProjectName,
    Brevant_GetAppVersion,
    Brevant_GetNumJobItems,
    Brevant_GetJobItemID,
    Brevant_GetNumJobItemRenderSettings,
    Brevant_GetJobItemRenderSetting,
    Brevant_GetNumJobItemOutputModules,
    Brevant_GetNumJobItemOutputModuleSettings,
    Brevant_GetJobItemOutputModuleSetting,
    Brevant_GetNumJobItemOutputModuleWarnings,
    Brevant_GetJobItemOutputModuleWarning,
    Brevant_GetNumJobItemFrameProperties,
    Brevant_GetJobItemFrameProperty,
    Brevant_GetNumJobItemOutputModuleProperties,
    Brevant_GetJobItemOutputModuleProperty,
    Brevant_GetJobItemFrameThumbnail,
};

}  // namespace brevant
