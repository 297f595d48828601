// Loading plug-ins as the host application does: read the property list from the library file,
// load the library, call the entry point it names, and keep the death hooks it registers until
// shutdown. Libraries are never unloaded: a host keeps its plug-ins until the process ends, and
// suites they published stay reachable.
//
// The platform seam is below ("Platform"): how a library is opened and searched, and where its
// property list is kept (a PIPL resource on Windows, an ELF section elsewhere). The rest of the
// file is the same everywhere.
#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#else
#include <dlfcn.h>
#endif

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/core/HostState.h"

namespace brevant_host {
namespace {

struct DeathHook {
    int32_t pluginId;
    HostDeathHookFunc hook;
    void* hookRefcon;
};

struct PluginState {
    std::mutex mutex;
    int32_t lastPluginId = 0;  // ids are never reused, also across ResetHost
    std::map<int32_t, void*> globalRefcons;
    std::vector<DeathHook> deathHooks;
};

PluginState& Plugins() {
    static PluginState state;
    return state;
}

extern "C" HostErr RegisterDeathHook(int32_t plugin_id, HostDeathHookFunc hook, void* hook_refcon) {
    core::ClaimMainThread();
    if (!hook) return kHostErrBadArgument;
    HostErr fault = kHostErrNone;
    if (TakeFault(HostCall::RegisterDeathHook, &fault)) return fault;
    PluginState& state = Plugins();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.deathHooks.push_back({plugin_id, hook, hook_refcon});
    return kHostErrNone;
}

const HostRegisterSuite6 kRegisterSuite = {nullptr, nullptr, RegisterDeathHook};

// ---- Platform -------------------------------------------------------------------------------
#if defined(_WIN32)

// The resource type under which the property list is kept, as the resource script names it.
constexpr const wchar_t* kPropertyResourceType = L"PIPL";
constexpr DWORD kMaxResourceSize = 1 << 20;

std::wstring WindowsPath(const std::string& path) {
    return std::filesystem::u8path(path).make_preferred().wstring();
}

std::string LastErrorText() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length ? std::string(text, length) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

void* OpenLibrary(const std::string& path, std::string* error) {
    // Dependencies are looked up beside the library first, as the host does for its plug-ins.
    HMODULE module = LoadLibraryExW(WindowsPath(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) *error = LastErrorText();
    return module;
}

void* FindSymbol(void* library, const std::string& name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name.c_str()));
}

BOOL CALLBACK CollectResourceId(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR ids) {
    if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<WORD>*>(ids)->push_back(LOWORD(name));
    return TRUE;
}

// The text of the library's first PIPL resource, up to the first NUL. The library is mapped as
// data only: none of its code runs.
bool ReadPropertyText(const std::string& path, std::string* text, std::string* error) {
    HMODULE module = LoadLibraryExW(WindowsPath(path).c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        const DWORD code = GetLastError();
        *error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "cannot open the file"
                                                                              : "not a Windows library";
        return false;
    }
    std::vector<WORD> ids;
    EnumResourceNamesW(module, kPropertyResourceType, CollectResourceId, reinterpret_cast<LONG_PTR>(&ids));
    HRSRC resource = ids.empty() ? nullptr : FindResourceW(module, MAKEINTRESOURCEW(ids.front()), kPropertyResourceType);
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const auto* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    const DWORD size = resource ? SizeofResource(module, resource) : 0;
    const bool found = bytes && size <= kMaxResourceSize;
    if (found) {
        text->assign(bytes, strnlen(bytes, size));
    } else {
        *error = ids.empty() ? "no PIPL resource" : "damaged PIPL resource " + std::to_string(ids.front());
    }
    FreeLibrary(module);
    return found;
}

#else

void* OpenLibrary(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        *error = reason ? reason : "cannot be loaded";
    }
    return library;
}

void* FindSymbol(void* library, const std::string& name) { return dlsym(library, name.c_str()); }

// ELF: only what finding one section needs, read with explicit little-endian decoding so that the
// reader never trusts the file's layout to match a struct.

constexpr const char* kPropertySection = ".brevant_pipl";
constexpr uint64_t kMaxSectionSize = 1 << 20;
constexpr uint32_t kSectionNoBits = 8;  // SHT_NOBITS: occupies no file space

uint64_t ReadLittle(const unsigned char* bytes, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

class ElfFile {
public:
    explicit ElfFile(const std::string& path) : file_(path, std::ios::binary) {
        if (file_) {
            file_.seekg(0, std::ios::end);
            size_ = static_cast<uint64_t>(file_.tellg());
        }
    }
    bool opened() const { return static_cast<bool>(file_); }
    uint64_t size() const { return size_; }

    // Reads `length` bytes at `offset`; false when they are not all inside the file.
    bool Read(uint64_t offset, uint64_t length, std::vector<unsigned char>* out) {
        if (offset > size_ || length > size_ - offset) return false;
        out->resize(static_cast<size_t>(length));
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(offset));
        return length == 0 || static_cast<bool>(file_.read(reinterpret_cast<char*>(out->data()),
                                                            static_cast<std::streamsize>(length)));
    }

private:
    std::ifstream file_;
    uint64_t size_ = 0;
};

struct Section {
    uint32_t name;
    uint32_t type;
    uint64_t offset;
    uint64_t size;
};

Section SectionAt(const std::vector<unsigned char>& headers, uint64_t index, uint64_t entrySize) {
    const unsigned char* entry = headers.data() + index * entrySize;
    return {static_cast<uint32_t>(ReadLittle(entry + 0, 4)), static_cast<uint32_t>(ReadLittle(entry + 4, 4)),
            ReadLittle(entry + 24, 8), ReadLittle(entry + 32, 8)};
}

// The text of the property-list section: its bytes up to the first NUL.
bool ReadPropertyText(const std::string& path, std::string* text, std::string* error) {
    ElfFile file(path);
    if (!file.opened()) {
        *error = "cannot open the file";
        return false;
    }
    std::vector<unsigned char> header;
    if (!file.Read(0, 64, &header) || std::memcmp(header.data(), "\x7f" "ELF", 4) != 0) {
        *error = "not an ELF file";
        return false;
    }
    if (header[4] != 2 || header[5] != 1) {
        *error = "not a 64-bit little-endian ELF file";
        return false;
    }
    const uint64_t sectionOffset = ReadLittle(&header[0x28], 8);
    const uint64_t entrySize = ReadLittle(&header[0x3A], 2);
    const uint64_t sectionCount = ReadLittle(&header[0x3C], 2);
    const uint64_t namesIndex = ReadLittle(&header[0x3E], 2);
    if (sectionCount == 0 || sectionOffset == 0) {
        *error = "no section headers";
        return false;
    }
    std::vector<unsigned char> headers;
    if (entrySize < 64 || namesIndex >= sectionCount || !file.Read(sectionOffset, entrySize * sectionCount, &headers)) {
        *error = "damaged section header table";
        return false;
    }
    const Section namesSection = SectionAt(headers, namesIndex, entrySize);
    std::vector<unsigned char> names;
    if (namesSection.type == kSectionNoBits || !file.Read(namesSection.offset, namesSection.size, &names)) {
        *error = "damaged section name table";
        return false;
    }
    const size_t wantedLength = std::strlen(kPropertySection);
    for (uint64_t i = 0; i < sectionCount; ++i) {
        const Section section = SectionAt(headers, i, entrySize);
        if (section.name >= names.size() || names.size() - section.name < wantedLength + 1 ||
            std::memcmp(&names[section.name], kPropertySection, wantedLength + 1) != 0) {
            continue;
        }
        std::vector<unsigned char> bytes;
        if (section.type == kSectionNoBits || section.size > kMaxSectionSize ||
            !file.Read(section.offset, section.size, &bytes)) {
            *error = std::string("damaged ") + kPropertySection + " section";
            return false;
        }
        const auto* begin = reinterpret_cast<const char*>(bytes.data());
        text->assign(begin, strnlen(begin, bytes.size()));
        return true;
    }
    *error = std::string("no ") + kPropertySection + " section";
    return false;
}

#endif  // platform

// ---- Property list --------------------------------------------------------------------------

// "0x..." is hexadecimal, anything else decimal; the whole value must be a number that fits.
bool ParseNumber(const std::string& text, uint64_t limit, uint64_t* out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t start = hex ? 2 : 0;
    if (text.size() == start) return false;
    uint64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        uint64_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint64_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<uint64_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<uint64_t>(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * (hex ? 16 : 10) + digit;
        if (value > limit) return false;
    }
    *out = value;
    return true;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool ParsePropertyList(const std::string& text, PropertyList* out, std::string* error) {
    PropertyList list;
    std::map<std::string, int> seen;
    size_t lineNumber = 0;
    size_t position = 0;
    while (position <= text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(position, end - position));
        position = end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;

        const size_t gap = line.find_first_of(" \t");
        const std::string key = line.substr(0, gap);
        const std::string value = gap == std::string::npos ? std::string() : Trim(line.substr(gap));
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (value.empty()) {
            *error = where + "property '" + key + "' has no value";
            return false;
        }
        if (seen[key]++ > 0) {
            *error = where + "property '" + key + "' given twice";
            return false;
        }
        uint64_t number = 0;
        if (key == "kind") {
            list.kind = value;
        } else if (key == "name") {
            list.name = value;
        } else if (key == "category") {
            list.category = value;
        } else if (key == "entry") {
            list.entryPoint = value;
        } else if (key == "resource" || key == "version" || key == "flags") {
            const uint64_t limit = key == "resource" ? 0x7FFFFFFF : 0xFFFFFFFF;
            if (!ParseNumber(value, limit, &number)) {
                *error = where + "property '" + key + "' is not a 32-bit number: " + value;
                return false;
            }
            if (key == "resource") list.resourceId = static_cast<int32_t>(number);
            if (key == "version") list.version = static_cast<uint32_t>(number);
            if (key == "flags") list.flags = static_cast<uint32_t>(number);
        } else {
            *error = where + "unknown property '" + key + "'";
            return false;
        }
    }
    if (list.kind.empty()) {
        *error = "missing kind";
        return false;
    }
    if (list.entryPoint.empty()) {
        *error = "missing entry";
        return false;
    }
    *out = std::move(list);
    return true;
}

}  // namespace

namespace core {

const void* RegisterSuiteTable() { return &kRegisterSuite; }

void ResetPlugins() {
    PluginState& state = Plugins();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.globalRefcons.clear();
    state.deathHooks.clear();
}

}  // namespace core

bool ReadPropertyList(const std::string& libraryPath, PropertyList* out, std::string* error) {
    core::ClaimMainThread();
    std::string ignored;
    std::string& message = error ? *error : ignored;
    if (!out) {
        message = "no property list to fill";
        return false;
    }
    std::string text;
    std::string reason;
    if (!ReadPropertyText(libraryPath, &text, &reason) || !ParsePropertyList(text, out, &reason)) {
        message = libraryPath + ": " + reason;
        return false;
    }
    return true;
}

HostErr CallEntryPoint(HostPluginEntryFunc entry, int32_t pluginId, void** globalRefcon) {
    core::ClaimMainThread();
    if (!entry) return kHostErrBadArgument;
    void* refcon = globalRefcon ? *globalRefcon : nullptr;
    HostErr result;
    try {
        result = entry(BasicSuite(), core::kHostMajorVersion, core::kHostMinorVersion, pluginId, &refcon);
    } catch (...) {
        // An entry point must not throw; the host survives one that does.
        HostLog(1, "StandInHost", "CallEntryPoint", "entry point of plug-in %d threw", pluginId);
        result = kHostErrGeneric;
    }
    if (globalRefcon) *globalRefcon = refcon;
    PluginState& state = Plugins();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.globalRefcons[pluginId] = refcon;
    return result;
}

bool LoadPlugin(const std::string& libraryPath, LoadedPlugin* out, std::string* error) {
    core::ClaimMainThread();
    std::string ignored;
    std::string& message = error ? *error : ignored;
    if (!out) {
        message = "no plug-in record to fill";
        return false;
    }
    LoadedPlugin plugin;
    plugin.path = libraryPath;
    if (!ReadPropertyList(libraryPath, &plugin.properties, &message)) return false;
    if (plugin.properties.kind != "general") {
        message = libraryPath + ": kind '" + plugin.properties.kind + "' is not a general plug-in";
        return false;
    }
    std::string reason;
    plugin.library = OpenLibrary(libraryPath, &reason);
    if (!plugin.library) {
        message = libraryPath + ": " + reason;
        return false;
    }
    void* symbol = FindSymbol(plugin.library, plugin.properties.entryPoint);
    if (!symbol) {
        message = libraryPath + ": no entry point '" + plugin.properties.entryPoint + "'";
        return false;
    }
    {
        PluginState& state = Plugins();
        std::lock_guard<std::mutex> lock(state.mutex);
        plugin.pluginId = ++state.lastPluginId;
    }
    plugin.entryResult =
        CallEntryPoint(reinterpret_cast<HostPluginEntryFunc>(symbol), plugin.pluginId, &plugin.globalRefcon);
    *out = std::move(plugin);
    return true;
}

int RunDeathHooks() {
    core::ClaimMainThread();
    PluginState& state = Plugins();
    std::vector<DeathHook> hooks;
    std::map<int32_t, void*> refcons;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        hooks.swap(state.deathHooks);
        refcons = state.globalRefcons;
    }
    // Hooks run without the lock: they log, free handles and may even register again.
    int ran = 0;
    for (auto hook = hooks.rbegin(); hook != hooks.rend(); ++hook) {
        const auto found = refcons.find(hook->pluginId);
        try {
            hook->hook(found == refcons.end() ? nullptr : found->second, hook->hookRefcon);
        } catch (...) {
            HostLog(1, "StandInHost", "RunDeathHooks", "death hook of plug-in %d threw", hook->pluginId);
        }
        ++ran;
    }
    return ran;
}

void* PluginSymbol(const LoadedPlugin& plugin, const std::string& name) {
    return plugin.library ? FindSymbol(plugin.library, name) : nullptr;
}

void* GlobalRefcon(int32_t pluginId) {
    core::ClaimMainThread();
    PluginState& state = Plugins();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto found = state.globalRefcons.find(pluginId);
    return found == state.globalRefcons.end() ? nullptr : found->second;
}

}  // namespace brevant_host
