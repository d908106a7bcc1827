// Test-only view into a HandleManager's map. It is a friend of the class but
// exists only in the tests, so it adds nothing to the library or its exports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "interop/handle_manager.h"

namespace KoAtlCom::Interop::detail {

struct HandleManagerAccess {
    static std::size_t Size(HandleManager& manager) {
        std::unique_lock lock(manager.mutex_);
        return manager.entries_.size();
    }

    // The registration count of `pointer`, or nothing when it is not a key.
    static std::optional<std::uint32_t> CountOf(HandleManager& manager, IUnknown* pointer) {
        std::unique_lock lock(manager.mutex_);
        const auto entry = manager.entries_.find(pointer);
        if (entry == manager.entries_.end()) return std::nullopt;
        return entry->second;
    }

    // Overwrites the count of a registered pointer.
    static void SetCount(HandleManager& manager, IUnknown* pointer, std::uint32_t count) {
        std::unique_lock lock(manager.mutex_);
        manager.entries_.at(pointer) = count;
    }

    static float MaxLoadFactor(HandleManager& manager) {
        std::unique_lock lock(manager.mutex_);
        return manager.entries_.max_load_factor();
    }
};

}  // namespace KoAtlCom::Interop::detail
