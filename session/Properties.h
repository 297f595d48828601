// The session's lists: what it captured from the host, read by clients by index.
#pragma once

#include <cstddef>
#include <vector>

#include "plugin/HostInterface.h"

namespace brevant {

struct Property {
    HostString key;
    HostString value;
};

// An ordered list of properties; index i is what clients see as property i. Keys need not be
// unique. clear() keeps the strings' storage so that the lists rebuilt on every frame update
// reuse it instead of allocating again.
class PropertyList {
public:
    size_t size() const { return size_; }
    const Property& operator[](size_t index) const { return slots_[index]; }
    const Property* at(int32_t index) const {
        return index >= 0 && static_cast<size_t>(index) < size_ ? &slots_[index] : nullptr;
    }

    void clear() { size_ = 0; }
    void pop_back() { --size_; }

    // A fresh slot at the end; the caller assigns its key and value.
    Property& append() {
        if (size_ == slots_.size()) slots_.emplace_back();
        return slots_[size_++];
    }
    void append(HostString key, HostString value) {
        Property& slot = append();
        slot.key = std::move(key);
        slot.value = std::move(value);
    }

private:
    std::vector<Property> slots_;
    size_t size_ = 0;
};

using StringList = std::vector<HostString>;

}  // namespace brevant
