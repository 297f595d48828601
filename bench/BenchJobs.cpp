#include "BenchJobs.h"

namespace brevant_bench {

std::string FanOutJobText() {
    return R"({"project": "Fan-out", "items": [
      {"comp": {"name": "Event", "width": 8, "height": 8, "frames": 1}, "outputModules": []}]})";
}

std::string LongProjectJobText() {
    std::string name;
    while (name.size() < kLongProjectNameUnits) name += "Brevant long project name ";
    name.resize(kLongProjectNameUnits);
    return R"({"project": ")" + name + R"(", "items": [
      {"comp": {"name": "Main", "width": 8, "height": 8, "frames": 1}, "outputModules": []}]})";
}

std::string TwoFilesJobText() {
    return R"({"project": "Two files", "items": [
      {"comp": {"name": "Main", "width": 64, "height": 36, "frames": 100},
       "outputModules": [
         {"path": "[compName]_first.raw", "write": "raw"},
         {"path": "[compName]_second.raw", "write": "raw"}]}]})";
}

std::string UhdJobText() {
    return R"({"project": "UHD", "items": [
      {"comp": {"name": "Uhd", "width": )" +
           std::to_string(kUhdWidth) + R"(, "height": )" + std::to_string(kUhdHeight) +
           R"(, "frames": 1}, "outputModules": []}]})";
}

std::string ManyItemsJobName(int64_t items) { return "items-" + std::to_string(items); }

std::string ManyItemsJobText(int64_t items) {
    std::string text = R"({"project": "Many items", "items": [)";
    for (int64_t i = 0; i < items; ++i) {
        if (i > 0) text += ',';
        text += R"({"comp": {"name": "Comp )" + std::to_string(i) +
                R"(", "width": 8, "height": 8, "frames": 1}, "outputModules": [{"path": "[compName].raw", "write": "raw"}]})";
    }
    return text + "]}";
}

std::string SoakJobName(int64_t frames) { return "soak-" + std::to_string(frames); }

std::string SoakJobText(int64_t frames) {
    return R"({"project": "Soak", "items": [
      {"comp": {"name": "Soak", "width": 64, "height": 36, "frames": )" +
           std::to_string(frames) + R"(},
       "outputModules": [
         {"fileBased": false, "outputInfo": {"type": "Preview"}},
         {"fileBased": false, "outputInfo": {"type": "Tape deck"}}]}]})";
}

}  // namespace brevant_bench
