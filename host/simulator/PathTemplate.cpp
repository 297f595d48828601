// Output path templates: "[compName]_[####].jpg" and the like, expanded with the names and
// numbers of the module's item and queue. Unknown tokens and unmatched brackets stay as written,
// so a path that happens to contain brackets survives.
#include <cstdint>
#include <filesystem>

#include "host/simulator/Records.h"

namespace brevant_host {
namespace {

// Names become one path component each: a separator inside a name must not open a directory.
std::string PathSafe(std::string name) {
    for (char& c : name) {
        if (c == '/' || c == '\0') c = '_';
    }
    return name;
}

bool IsFrameRun(const std::string& token) {
    if (token.empty()) return false;
    for (char c : token) {
        if (c != '#') return false;
    }
    return true;
}

std::string PaddedNumber(int64_t number, size_t digits) {
    const bool negative = number < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
    std::string text = std::to_string(magnitude);
    if (text.size() < digits) text.insert(0, digits - text.size(), '0');
    return negative ? "-" + text : text;
}

}  // namespace

bool HasFrameRun(const std::string& pathTemplate) {
    size_t open = pathTemplate.find('[');
    while (open != std::string::npos) {
        const size_t close = pathTemplate.find(']', open + 1);
        if (close == std::string::npos) return false;
        if (IsFrameRun(pathTemplate.substr(open + 1, close - open - 1))) return true;
        open = pathTemplate.find('[', open + 1);
    }
    return false;
}

std::string ResolveModulePath(const HostOutputModule& module, std::optional<int64_t> frameNumber) {
    const HostRenderItem* item = module.owner;
    const HostRenderQueue* queue = item ? item->queue : nullptr;
    const HostComposition* composition = item ? &item->composition : nullptr;

    auto value = [&](const std::string& token, std::string* out) -> bool {
        if (IsFrameRun(token)) {
            if (!frameNumber) return false;
            *out = PaddedNumber(*frameNumber, token.size());
            return true;
        }
        if (token == "projectName" && queue) {
            *out = PathSafe(queue->projectName);
        } else if (token == "compName" && composition) {
            *out = PathSafe(ToUtf8(composition->name));
        } else if (token == "renderSettingsName" && item) {
            *out = PathSafe(ToUtf8(item->templateName));
        } else if (token == "outputModuleName") {
            *out = PathSafe(ToUtf8(module.templateName));
        } else if (token == "width" && composition) {
            *out = std::to_string(composition->width);
        } else if (token == "height" && composition) {
            *out = std::to_string(composition->height);
        } else if (token == "frameRate" && composition) {
            *out = RateText(composition->frameRate);
        } else if (token == "startFrame" && composition) {
            *out = std::to_string(composition->startFrame);
        } else if (token == "endFrame" && composition) {
            *out = std::to_string(static_cast<int64_t>(composition->startFrame) + composition->frames - 1);
        } else if (token == "durationFrames" && composition) {
            *out = std::to_string(composition->frames);
        } else {
            return false;
        }
        return true;
    };

    const std::string& pathTemplate = module.pathTemplate;
    std::string expanded;
    expanded.reserve(pathTemplate.size() + 32);
    size_t position = 0;
    while (position < pathTemplate.size()) {
        const size_t open = pathTemplate.find('[', position);
        if (open == std::string::npos) {
            expanded.append(pathTemplate, position, std::string::npos);
            break;
        }
        expanded.append(pathTemplate, position, open - position);
        const size_t close = pathTemplate.find(']', open + 1);
        if (close == std::string::npos) {
            expanded.append(pathTemplate, open, std::string::npos);
            break;
        }
        const size_t nextOpen = pathTemplate.find('[', open + 1);
        if (nextOpen != std::string::npos && nextOpen < close) {
            // "[a[b]": the first bracket opens no token.
            expanded += '[';
            position = open + 1;
            continue;
        }
        std::string replacement;
        if (value(pathTemplate.substr(open + 1, close - open - 1), &replacement)) {
            expanded += replacement;
        } else {
            expanded.append(pathTemplate, open, close - open + 1);
        }
        position = close + 1;
    }

    if (expanded.empty()) return expanded;
    const std::filesystem::path path(expanded);
    if (path.is_absolute()) return path.lexically_normal().string();
    const std::string directory = queue ? queue->EffectiveOutputDirectory() : AbsolutePath(".");
    return (std::filesystem::path(directory) / path).lexically_normal().string();
}

}  // namespace brevant_host
