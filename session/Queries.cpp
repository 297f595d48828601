// The session's read-only queries. Each locates one list and checks its indices in a fixed
// order; the monitor suite's count and read operations of one list share the same lookup.
#include "session/BrevantSession.h"

namespace brevant {
namespace {

template <typename List>
auto ElementAt(const List* list, int32_t index) -> decltype(&(*list)[0]) {
    if (!list || index < 0 || static_cast<size_t>(index) >= list->size()) return nullptr;
    return &(*list)[static_cast<size_t>(index)];
}

}  // namespace

bool BrevantSession::GetJobItemID(int32_t index, int32_t& itemId) const {
    const int32_t* id = ElementAt(&jobItemIds, index);
    if (!id) return false;
    itemId = *id;
    return true;
}

const PropertyList* BrevantSession::JobItemRenderSettings(int32_t itemId) const {
    return FindItem(renderSettings, itemId);
}
const std::vector<PropertyList>* BrevantSession::JobItemOutputModuleSettings(int32_t itemId) const {
    return FindItem(outputModuleSettings, itemId);
}
const std::vector<StringList>* BrevantSession::JobItemOutputModuleWarnings(int32_t itemId) const {
    return FindItem(outputModuleWarnings, itemId);
}
const PropertyList* BrevantSession::JobItemOutputModuleSettingList(int32_t itemId, int32_t moduleIndex) const {
    return ElementAt(JobItemOutputModuleSettings(itemId), moduleIndex);
}
const StringList* BrevantSession::JobItemOutputModuleWarningList(int32_t itemId, int32_t moduleIndex) const {
    return ElementAt(JobItemOutputModuleWarnings(itemId), moduleIndex);
}

const Property* BrevantSession::GetJobItemRenderSetting(int32_t itemId, int32_t settingIndex) const {
    const PropertyList* settings = JobItemRenderSettings(itemId);
    return settings ? settings->at(settingIndex) : nullptr;
}

const Property* BrevantSession::GetJobItemOutputModuleSetting(int32_t itemId, int32_t moduleIndex,
                                                              int32_t settingIndex) const {
    const PropertyList* settings = JobItemOutputModuleSettingList(itemId, moduleIndex);
    return settings ? settings->at(settingIndex) : nullptr;
}

const HostString* BrevantSession::GetJobItemOutputModuleWarning(int32_t itemId, int32_t moduleIndex,
                                                                int32_t warningIndex) const {
    return ElementAt(JobItemOutputModuleWarningList(itemId, moduleIndex), warningIndex);
}

const Property* BrevantSession::GetJobItemFrameProperty(int32_t itemId, int64_t frameId,
                                                        int32_t propertyIndex) const {
    if (itemId != currentItemId || frameId != currentFrameId) return nullptr;
    return frameProperties.at(propertyIndex);
}

const Property* BrevantSession::GetJobItemOutputModuleProperty(int32_t itemId, int32_t moduleIndex,
                                                               int32_t propertyIndex) const {
    if (itemId != currentItemId || moduleIndex < 0 || moduleIndex >= currentOutputModuleCount) return nullptr;
    return outputModuleProperties[static_cast<size_t>(moduleIndex)].at(propertyIndex);
}

}  // namespace brevant
