#pragma once
// Rounding as the system's arithmetic defines it: to the nearest integer, an
// exact half to the even neighbour, from an extended-precision intermediate,
// into a signed 64-bit integer. Real arithmetic never yields infinities or NaNs
// here: an intermediate that is not finite or does not fit raises EMathError.

#include <cstdint>

namespace nimbora {

using Real = long double;  // 64-bit mantissa on x86 and x86_64 (g++ and MinGW)

std::int64_t Round(Real value);

// percent / 100 x whole, rounded: the share of a quantity that a percentage
// setting names. Computed with a 64-bit mantissa whatever precision the
// calling thread's x87 unit is set to.
std::int64_t RoundedPercentOf(std::int64_t percent, std::int64_t whole);

// Sets the calling thread's x87 unit to a 64-bit mantissa for its lifetime
// and then puts the caller's precision back. The C runtime sets 64 bits on
// the main thread only; threads that Windows creates start at 53 bits, where
// long double arithmetic rounds like double. A no-op off x86.
class ExtendedPrecision {
public:
    ExtendedPrecision() noexcept;
    ~ExtendedPrecision();
    ExtendedPrecision(const ExtendedPrecision&) = delete;
    ExtendedPrecision& operator=(const ExtendedPrecision&) = delete;

private:
    unsigned short saved_ = 0;
};

// The low 32 bits of Round(value), for quantities held as signed 32-bit.
std::int32_t Round32(Real value);

// a / b, raising EMathError for a zero divisor or a result that is not finite.
Real Divide(Real a, Real b);

// Bytes to megabytes: divided by 1024 twice, rounded.
std::int64_t BytesToMegabytes(std::int64_t bytes);

}  // namespace nimbora
