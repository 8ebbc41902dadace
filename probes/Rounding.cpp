#include "probes/Rounding.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "svchost/Exception.h"

namespace nimbora {

static_assert(std::numeric_limits<Real>::digits >= 64, "rounding needs a 64-bit mantissa");

namespace {

#if defined(__i386__) || defined(__x86_64__)
constexpr unsigned short kPrecisionMask = 0x0300;  // precision control bits
constexpr unsigned short kPrecision64 = 0x0300;    // 64-bit mantissa

unsigned short ReadControlWord() noexcept {
    unsigned short word = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(word) : : "memory");
    return word;
}

void WriteControlWord(unsigned short word) noexcept { __asm__ __volatile__("fldcw %0" : : "m"(word) : "memory"); }
#endif

// N.B. out of line, so that none of its arithmetic is scheduled before the
// caller has set the precision.
[[gnu::noinline]] Real PercentOf(std::int64_t percent, std::int64_t whole) {
    return static_cast<Real>(percent) / 100.0L * static_cast<Real>(whole);
}

}  // namespace

ExtendedPrecision::ExtendedPrecision() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    saved_ = ReadControlWord();
    WriteControlWord(static_cast<unsigned short>((saved_ & ~kPrecisionMask) | kPrecision64));
#endif
}

ExtendedPrecision::~ExtendedPrecision() {
#if defined(__i386__) || defined(__x86_64__)
    WriteControlWord(saved_);
#endif
}

std::int64_t RoundedPercentOf(std::int64_t percent, std::int64_t whole) {
    const ExtendedPrecision precision;
    return Round(PercentOf(percent, whole));
}

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
