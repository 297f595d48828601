// File services of the stand-in host: file specs and their names, full paths, sizes and free
// space, all asked of the real file system on every call. [main-thread]
//
// The size of an image sequence: the flattened path of a sequence module names the file of its
// first frame; HostFileSize of that path answers the bytes of every frame file written so far,
// so that a size estimate from it grows with the render like that of a single growing file.
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "host/simulator/Records.h"

namespace fs = std::filesystem;

namespace brevant_host {

std::string AbsolutePath(const std::string& path) {
    if (path.empty()) return path;
    std::error_code error;
    fs::path absolute = fs::absolute(fs::path(path), error);
    if (error) return fs::path(path).lexically_normal().string();
    return absolute.lexically_normal().string();
}

namespace {

std::mutex& SpecMutex() {
    static std::mutex mutex;
    return mutex;
}

// Specs handed out by HostFileSpecNew and not yet disposed.
std::set<const HostFileSpec*>& LiveSpecs() {
    static std::set<const HostFileSpec*> specs;
    return specs;
}

bool IsLiveSpec(const HostFileSpec* spec) {
    std::lock_guard<std::mutex> lock(SpecMutex());
    return LiveSpecs().count(spec) == 1;
}

// The path itself if it exists, else its nearest existing ancestor; the root at worst.
fs::path DeepestExistingParent(const std::string& path) {
    fs::path current = fs::path(AbsolutePath(path));
    std::error_code error;
    while (!current.empty() && !fs::exists(current, error)) {
        const fs::path parent = current.parent_path();
        if (parent == current) break;
        current = parent;
    }
    if (current.empty()) current = "/";
    const fs::path canonical = fs::canonical(current, error);
    return error ? current : canonical;
}

#if defined(_WIN32)
// The volume's root as the system names it ("C:\\"), or the path's root.
std::string MountPointOf(const std::string& path) {
    const fs::path existing = DeepestExistingParent(path);
    wchar_t volume[MAX_PATH + 1] = {};
    if (GetVolumePathNameW(existing.wstring().c_str(), volume, MAX_PATH + 1)) return fs::path(volume).string();
    return existing.root_path().string();
}
#else
// Mount points in /proc/self/mounts escape blanks, tabs, newlines and backslashes as octal.
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

bool IsPathPrefix(const std::string& prefix, const std::string& path) {
    if (prefix == "/") return true;
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    return path.size() == prefix.size() || path[prefix.size()] == '/';
}

// The mount point of the volume that holds `path`: the longest mount point in
// /proc/self/mounts that contains the path's deepest existing parent; without that table, the
// highest ancestor on the same device.
std::string MountPointOf(const std::string& path) {
    const fs::path existing = DeepestExistingParent(path);
    const std::string target = existing.string();

    std::ifstream mounts("/proc/self/mounts");
    std::string best;
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint;
        if (!(fields >> device >> mountPoint)) continue;
        mountPoint = UnescapeMountField(mountPoint);
        if (IsPathPrefix(mountPoint, target) && mountPoint.size() > best.size()) best = mountPoint;
    }
    if (!best.empty()) return best;

    struct stat status {};
    if (::stat(target.c_str(), &status) != 0) return "/";
    fs::path mount = existing;
    for (fs::path parent = mount.parent_path(); parent != mount; parent = mount.parent_path()) {
        struct stat parentStatus {};
        if (::stat(parent.c_str(), &parentStatus) != 0 || parentStatus.st_dev != status.st_dev) break;
        mount = parent;
    }
    return mount.string();
}
#endif


// The files an image-sequence module has written when `path` is its flattened path.
const HostOutputModule* SequenceNamedBy(const std::string& absolutePath) {
    for (const HostRenderQueue* queue : LiveQueues()) {
        for (const auto& item : queue->items) {
            for (const auto& module : item->modules) {
                if (!module->sequence || module->writtenFiles.empty()) continue;
                if (ResolveModulePath(*module, item->composition.startFrame) == absolutePath) return module.get();
            }
        }
    }
    return nullptr;
}

}  // namespace

uint64_t RegularFileSize(const std::string& path) {
    // std::filesystem's sizes are 64-bit everywhere; MinGW's struct stat has a 32-bit size.
    std::error_code error;
    if (path.empty() || !fs::is_regular_file(path, error)) return 0;
    const uintmax_t size = fs::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

}  // namespace brevant_host

using namespace brevant_host;

HostFileSpec* HostFileSpecNew(const HostString& path) {
    auto spec = std::make_unique<HostFileSpec>();
    spec->path = ToUtf8(path);
    std::lock_guard<std::mutex> lock(SpecMutex());
    LiveSpecs().insert(spec.get());
    return spec.release();  // owned by the caller until HostFileSpecDispose
}

HostErr HostFileSpecName(const HostFileSpec* spec, int32_t selector, char buffer[260]) {
    if (!spec || !buffer) return kHostErrBadArgument;
    if (!IsLiveSpec(spec)) return kHostErrBadHandle;
    HostErr code = kHostErrNone;
    if (TakeFault(HostCall::FileSpecName, &code)) return code;

    constexpr int32_t kSelectorVolume = 2;
    std::string name;
    if (selector == kSelectorVolume) {
        name = MountPointOf(spec->path);
    } else {
        name = fs::path(spec->path).filename().string();
    }
    // At most 259 bytes and the terminator, cut before a UTF-8 continuation byte.
    size_t length = std::min<size_t>(name.size(), 259);
    while (length > 0 && length < name.size() && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) --length;
    std::memcpy(buffer, name.data(), length);
    buffer[length] = '\0';
    return kHostErrNone;
}

void HostFileSpecDispose(HostFileSpec* spec) {
    if (!spec) return;
    std::unique_ptr<HostFileSpec> owned;
    {
        std::lock_guard<std::mutex> lock(SpecMutex());
        if (LiveSpecs().erase(spec) == 1) owned.reset(spec);
    }
    if (!owned) HostLog(0, "Host", "HostFileSpecDispose", "refused unknown file spec %p", static_cast<void*>(spec));
}

// This host keeps files on the local file system only (storage kind 0): a file of any other
// kind is one it cannot find, with no path and no size.
HostString HostFileFullPath(const HostFile& file) {
    return file.storageKind == 0 ? FromUtf8(AbsolutePath(ToUtf8(file.path))) : HostString();
}

uint64_t HostFileSize(const HostFile& file) {
    if (file.storageKind != 0) return 0;
    const std::string path = AbsolutePath(ToUtf8(file.path));
    if (path.empty()) return 0;
    if (const HostOutputModule* sequence = SequenceNamedBy(path)) {
        uint64_t total = 0;
        for (const std::string& written : sequence->writtenFiles) total += RegularFileSize(written);
        return total;
    }
    return RegularFileSize(path);
}

uint64_t HostVolumeFreeSpace(const HostString& full_path) {
    const std::string path = ToUtf8(full_path);
    if (path.empty()) return 0;
    std::error_code error;
    const fs::space_info volume = fs::space(DeepestExistingParent(path), error);
    return error ? 0 : static_cast<uint64_t>(volume.available);
}
