#pragma once
// Memory quantities are signed 64-bit byte counts that are never negative.

#include <cstdint>

namespace nimbora {

// A byte count as the memory-status record reports it (unsigned 64-bit): one
// with the top bit set does not fit and reads as 0.
constexpr std::int64_t PhysicalMemoryBytes(std::uint64_t reported) noexcept {
    return reported >> 63 ? 0 : static_cast<std::int64_t>(reported);
}

}  // namespace nimbora
