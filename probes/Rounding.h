#pragma once
// Rounding as the system's arithmetic defines it: to the nearest integer, an
// exact half to the even neighbour, from an extended-precision intermediate,
// into a signed 64-bit integer. Real arithmetic never yields infinities or NaNs
// here: an intermediate that is not finite or does not fit raises EMathError.

#include <cstdint>

namespace nimbora {

using Real = long double;  // 64-bit mantissa on x86 and x86_64 (g++ and MinGW)

std::int64_t Round(Real value);

// The low 32 bits of Round(value), for quantities held as signed 32-bit.
std::int32_t Round32(Real value);

// a / b, raising EMathError for a zero divisor or a result that is not finite.
Real Divide(Real a, Real b);

// Bytes to megabytes: divided by 1024 twice, rounded.
std::int64_t BytesToMegabytes(std::int64_t bytes);

}  // namespace nimbora
