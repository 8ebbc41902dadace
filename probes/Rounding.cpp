#include "probes/Rounding.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "svchost/Exception.h"

namespace nimbora {

static_assert(std::numeric_limits<Real>::digits >= 64, "rounding needs a 64-bit mantissa");

std::int64_t Round(Real value) {
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr Real limit = 9223372036854775808.0L;
    if (!std::isfinite(value) || value >= limit || value < -limit)
        throw EMathError(L"Invalid floating point operation");
    return static_cast<std::int64_t>(std::nearbyintl(value));  // ties to even under FE_TONEAREST
}

std::int32_t Round32(Real value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(Round(value))));
}

Real Divide(Real a, Real b) {
    if (b == 0) throw EMathError(L"Floating point division by zero");
    const Real q = a / b;
    if (!std::isfinite(q)) throw EMathError(L"Floating point overflow");
    return q;
}

std::int64_t BytesToMegabytes(std::int64_t bytes) {
    return Round(static_cast<Real>(bytes) / 1024.0L / 1024.0L);
}

}  // namespace nimbora
