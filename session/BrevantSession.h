// BrevantSession: the one implementation of RQSession.
//
// Created by BrevantPlugin::SessionCreate and owned by the host's shared pointer; monitor-suite
// operations hold a temporary strong reference for one call. Everything runs on the host's main
// thread, without a lock: listener callbacks run inside the operation that raised the event and
// may read the session through the queries below.
#pragma once

#include <boost/container/flat_map.hpp>
#include <cstdint>
#include <vector>

#include "plugin/HostInterface.h"
#include "session/Properties.h"
#include "session/RQSession.h"

namespace brevant {

class BrevantPlugin;

// A job item id is the host's queue index + 1, and the index is the id - 1, both in 32-bit
// two's complement: queue index INT32_MAX is id INT32_MIN, and that id leads back to it.
inline int32_t ItemIdOfQueueIndex(int32_t queueIndex) {
    return static_cast<int32_t>(static_cast<uint32_t>(queueIndex) + 1u);
}
inline int32_t QueueIndexOfItemId(int32_t itemId) {
    return static_cast<int32_t>(static_cast<uint32_t>(itemId) - 1u);
}

// What the session keeps per described item, ordered by job item id. A sorted vector rather than
// a tree: items are described in queue order, so each lands at the end, and a lookup touches the
// item's own entry and little else.
template <typename T>
using ItemMap = boost::container::flat_map<int32_t, T>;

// The entry of `itemId`, or null. An id is its queue index + 1, so in a queue described once and
// in order the entry of id n is the n-th: that is tried first, then a binary search.
template <typename T>
const T* FindItem(const ItemMap<T>& map, int32_t itemId) {
    const uint32_t position = static_cast<uint32_t>(QueueIndexOfItemId(itemId));
    if (position < map.size()) {
        const auto guess = map.nth(position);
        if (guess->first == itemId) return &guess->second;
    }
    const auto entry = map.find(itemId);
    return entry == map.end() ? nullptr : &entry->second;
}

enum SessionState : int32_t {
    Created = 0,
    Describing = 1,
    Described = 2,
    ItemStarted = 3,
    ItemEnded = 4,
};

class BrevantSession final : public RQSession {
public:
    explicit BrevantSession(BrevantPlugin* plugin);
    ~BrevantSession() override;

    void DescribeBegin(const HostString& projectName) override;
    void DescribeEnd() override;
    void DescribeAddItem(int32_t queueIndex, HostRenderItem& item) override;
    void RenderItemStart(void* unused) override;
    void RenderItemEnd(void* unused, int32_t hostStatus) override;
    void RenderItemUpdate(HostRenderQueue* queue, HostFrameUpdate* update) override;
    void Log(uint32_t messageType, const char* message) override;

    // ---- Queries. Read-only lookups: null (or false) when a check fails, nothing written. ----

    bool GetJobItemID(int32_t index, int32_t& itemId) const;
    // The lists of a described item; null for an item that was never described.
    const PropertyList* JobItemRenderSettings(int32_t itemId) const;
    const std::vector<PropertyList>* JobItemOutputModuleSettings(int32_t itemId) const;
    const std::vector<StringList>* JobItemOutputModuleWarnings(int32_t itemId) const;
    // One output module's list of a described item.
    const PropertyList* JobItemOutputModuleSettingList(int32_t itemId, int32_t moduleIndex) const;
    const StringList* JobItemOutputModuleWarningList(int32_t itemId, int32_t moduleIndex) const;

    const Property* GetJobItemRenderSetting(int32_t itemId, int32_t settingIndex) const;
    const Property* GetJobItemOutputModuleSetting(int32_t itemId, int32_t moduleIndex, int32_t settingIndex) const;
    const HostString* GetJobItemOutputModuleWarning(int32_t itemId, int32_t moduleIndex, int32_t warningIndex) const;
    const Property* GetJobItemFrameProperty(int32_t itemId, int64_t frameId, int32_t propertyIndex) const;
    const Property* GetJobItemOutputModuleProperty(int32_t itemId, int32_t moduleIndex, int32_t propertyIndex) const;

    // Rebuild the current frame's (or one output module's) properties, then count them. They
    // fill only inside the JobItemUpdate relay; elsewhere they count 0. A failing host call is
    // thrown as its int32_t code.
    bool GetNumJobItemFrameProperties(int32_t itemId, int64_t frameId, uint32_t& count);
    bool GetNumJobItemOutputModuleProperties(int32_t itemId, int32_t moduleIndex, uint32_t& count);

    // A JPEG of the frame being relayed; width and height are limits in, the image's size out.
    bool GetJobItemFrameThumbnail(int32_t itemId, int64_t frameId, int32_t& width, int32_t& height,
                                  std::vector<uint8_t>& bytes);

    // The session's text of an output module's destination: its file path (resolved in place
    // first when asked), or the host's description of a module that writes no file.
    void GetOutputTo(const HostRenderItem* item, HostOutputModule* module, bool resolve, HostString& out) const;

    // ---- Fields, in the order the session keeps them. Written only by the operations above. ----
    BrevantPlugin* const plugin;
    const uint64_t pluginGeneration;
    const int64_t sessionId;
    int32_t itemCursor = 0;
    HostString projectName;
    HostString appVersion;
    int32_t state = Created;
    ItemMap<PropertyList> renderSettings;
    ItemMap<std::vector<PropertyList>> outputModuleSettings;
    ItemMap<std::vector<StringList>> outputModuleWarnings;
    std::vector<int32_t> jobItemIds;
    HostRenderQueue* updateContext = nullptr;
    HostFrameUpdate* updateRecord = nullptr;
    int32_t currentItemId = -1;
    int32_t currentOutputModuleCount = -1;
    int64_t currentFrameId = -1;
    PropertyList frameProperties;
    std::vector<PropertyList> outputModuleProperties;

private:
    // The plug-in object, or null once DeathHook deleted it (or another one replaced it): a
    // session that outlives its plug-in relays nothing.
    BrevantPlugin* LivePlugin() const;
    void DescribeOutputModules(int32_t itemId, HostRenderItem& item);
    // Key of an output-module setting index, or null when the module has no such setting.
    const char* GetOutputModuleSettingKey(uint32_t index, const HostOutputModule* module) const;
    void LogOperation(const char* operation) const;
};

}  // namespace brevant
