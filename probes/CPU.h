#pragma once
// Processor load through NtQuerySystemInformation, reached late-bound.

#include <cstdint>

#include "probes/ProcessorLoad.h"

namespace nimbora {

// NtQuerySystemInformation with its four arguments unchanged: loads ntdll.dll,
// looks the entry point up, calls it and releases the library, every time.
// The call's status (0 on success); a non-zero status when the library or the
// entry point is unavailable.
std::uint32_t QuerySystemInformation(std::uint32_t infoClass, void* buffer, std::uint32_t length,
                                     std::uint32_t* returnLength) noexcept;

// The processor sampler of one process: it keeps the previous successful
// sample, so the process owns exactly one and calls it from one thread.
class ProcessorSampler {
public:
    // The load in percent, in [0, 100], since the previous successful
    // sample; 0 for the first one and after any failure.
    double GetProcessorUsage() noexcept;

    const ProcessorLoadState& State() const noexcept { return state_; }

private:
    ProcessorLoadState state_;
};

}  // namespace nimbora
