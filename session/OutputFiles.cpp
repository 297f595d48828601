// The properties of an output module's file while the item renders: where it goes, on which
// disk, its size so far, an estimate of its final size and the free space. Asked afresh from
// the host's file system on every call; nothing is cached between frames.
#include <cstring>
#include <exception>

#include "plugin/Text.h"
#include "session/BrevantSession.h"

namespace brevant {
namespace {

constexpr int32_t kFileSpecVolumeName = 2;
constexpr int32_t kLocalStorage = 0;

struct FileSpecHolder {
    HostFileSpec* spec;
    ~FileSpecHolder() {
        if (spec) HostFileSpecDispose(spec);
    }
};

}  // namespace

bool BrevantSession::GetNumJobItemOutputModuleProperties(int32_t itemId, int32_t moduleIndex, uint32_t& count) {
    if (itemId != currentItemId || moduleIndex < 0 || moduleIndex >= currentOutputModuleCount) return false;
    count = 0;
    PropertyList& properties = outputModuleProperties[static_cast<size_t>(moduleIndex)];
    properties.clear();
    if (!updateContext || !updateRecord) return true;

    const HostRenderItem* item = HostRenderItemAt(HostRenderQueueItems(updateContext), QueueIndexOfItemId(itemId));
    const HostOutputModuleList modules = HostRenderItemOutputModules(item);
    if (static_cast<uint64_t>(moduleIndex) >= modules.count) return true;
    HostOutputModule* module = modules.modules[moduleIndex];

    HostErr failure = kHostErrNone;
    try {
        Property& outputTo = properties.append();
        AssignAscii(outputTo.key, "OutputTo");
        try {
            GetOutputTo(item, module, false, outputTo.value);
        } catch (...) {
            properties.pop_back();  // only complete properties stay
            throw;
        }

        const bool fileBased = HostOutputModuleIsFileBased(module);
        HostString path;
        char disk[260] = {};
        if (fileBased && HostOutputModuleHasFilePath(module)) {
            HostOutputModuleFilePath(module, path);
            FileSpecHolder spec{HostFileSpecNew(path)};
            const HostErr result = HostFileSpecName(spec.spec, kFileSpecVolumeName, disk);
            if (result != kHostErrNone) throw static_cast<int32_t>(result);
            disk[sizeof disk - 1] = '\0';
        }
        Property& diskProperty = properties.append();
        AssignAscii(diskProperty.key, "Disk");
        diskProperty.value = HostMultiByteToUtf16(disk);

        uint64_t size = 0, estimate = 0, freeSpace = 0;
        if (fileBased) {
            HostOutputModuleFilePath(module, path);
            const HostFile file(path, kLocalStorage);
            freeSpace = HostVolumeFreeSpace(HostFileFullPath(file));
            size = HostFileSize(file);
            estimate = size;
            const int32_t frameId = updateRecord->frameId;
            const int32_t framesTotal = updateRecord->framesTotal;
            // Whole frames-per-frame first, as the host's figures are integral.
            if (frameId > 0) estimate = size * static_cast<uint64_t>(static_cast<int64_t>(framesTotal / frameId));
        }
        Property& fileSize = properties.append();
        AssignAscii(fileSize.key, "FileSize");
        AssignDecimal(fileSize.value, size);
        Property& finalSize = properties.append();
        AssignAscii(finalSize.key, "EstFinalSize");
        AssignDecimal(finalSize.value, estimate);
        Property& diskSpace = properties.append();
        AssignAscii(diskSpace.key, "DiskSpace");
        AssignDecimal(diskSpace.value, freeSpace);
    } catch (int32_t code) {
        failure = code;
    } catch (const std::exception& error) {
        failure = HostReportException(error);
    }
    if (failure != kHostErrNone) throw failure;
    count = static_cast<uint32_t>(properties.size());
    return true;
}

}  // namespace brevant
