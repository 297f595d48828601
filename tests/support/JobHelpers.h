// Jobs for tests: a job file given inline, described to a session as the host describes it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/Job.h"
#include <brevant/monitor.h>
#include "support/PluginFixture.h"

namespace brevant_test {

inline std::unique_ptr<brevant_host::Job> MakeJob(const std::string& json) {
    std::string error;
    auto job = brevant_host::ParseJob(json, "test.json", &error);
    EXPECT_NE(job, nullptr) << error;
    return job;
}

// DescribeBegin, one DescribeAddItem per queued item, DescribeEnd.
inline void Describe(RQSession& session, brevant_host::Job& job) {
    session.DescribeBegin(job.ProjectNameUtf16());
    for (int32_t i = 0; i < job.ItemCount(); ++i) session.DescribeAddItem(i, *job.Item(i));
    session.DescribeEnd();
}

// Key/value pairs of one list of the monitor suite, read through its count and read operations
// with `args` (session id, item id, ...) before the count or index.
using Pairs = std::vector<std::pair<std::string, std::string>>;

template <typename Count, typename Read, typename... Args>
Pairs ReadPairs(Count count, Read read, Args... args) {
    int32_t n = -1;
    if (count(args..., &n) != 0) return {{"<count failed>", ""}};
    Pairs pairs;
    for (int32_t i = 0; i < n; ++i) {
        HostMemoryHandle key = nullptr, value = nullptr;
        EXPECT_EQ(read(args..., i, &key, &value), 0);
        pairs.emplace_back(TakeString(key), TakeString(value));
    }
    return pairs;
}

inline std::vector<std::string> KeysOf(const Pairs& pairs) {
    std::vector<std::string> keys;
    for (const auto& p : pairs) keys.push_back(p.first);
    return keys;
}

inline std::string ValueOf(const Pairs& pairs, const std::string& key) {
    for (const auto& p : pairs) {
        if (p.first == key) return p.second;
    }
    return "<absent>";
}

}  // namespace brevant_test
