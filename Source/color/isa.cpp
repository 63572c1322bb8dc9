// Detection of the vector units, once per process.
#include "color/isa.h"

#include <cstdlib>
#include <cstring>

namespace vocam::kernels {

namespace {

constexpr const char *kNames[kIsaCount] = {"portable", "sse4.1", "avx2"};

uint32_t detect() {
    uint32_t caps = 1;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse4.1")) {
        caps |= 1u << uint32_t(Isa::kSse41);
        if (__builtin_cpu_supports("avx2")) caps |= 1u << uint32_t(Isa::kAvx2);
    }
#endif
    // A narrower limit from the environment; a name that is not an
    // instruction set leaves the word as detected.
    if (const char *limit = std::getenv("VOCAM_SIMD")) {
        for (uint32_t n = 0; n < kIsaCount; ++n)
            if (std::strcmp(limit, kNames[n]) == 0) caps &= (2u << n) - 1;
    }
    return caps;
}

}  // namespace

uint32_t capabilities() {
    static const uint32_t caps = detect();
    return caps;
}

Isa bestIsa() {
    const uint32_t caps = capabilities();
    for (uint32_t n = kIsaCount; n-- > 1;)
        if ((caps >> n) & 1) return Isa(n);
    return Isa::kPortable;
}

const char *isaName(Isa isa) {
    return uint32_t(isa) < kIsaCount ? kNames[uint32_t(isa)] : "unknown";
}

}  // namespace vocam::kernels
