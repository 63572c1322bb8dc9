// Instruction sets of the vector bodies and the one choice among them.
//
// The processor is asked once what it offers; the answer is a capability word
// that the environment variable VOCAM_SIMD may narrow ("portable", "sse4.1",
// "avx2") so that every path can be compared with the portable one on the
// same machine. Vector bodies are built once per instruction set through
// per_isa.inc, and every caller picks its body with widestBodies().
#pragma once

#include <cstdint>

namespace vocam::kernels {

// Narrowest first; each set includes the ones before it.
enum class Isa : uint32_t { kPortable = 0, kSse41 = 1, kAvx2 = 2 };
constexpr uint32_t kIsaCount = 3;

// Bit n set: instruction set n may be used. Bit 0 (portable) is always set.
uint32_t capabilities();

// The widest instruction set the capability word allows.
Isa bestIsa();

// The name VOCAM_SIMD takes for isa.
const char *isaName(Isa isa);

// The table of bodies (indexed by Isa, null where a body is not built) of
// the widest instruction set allowed; null for the portable path.
template <class T>
const T *widestBodies(const T *const (&perIsa)[kIsaCount]) {
    const uint32_t caps = capabilities();
    for (uint32_t n = kIsaCount; n-- > 1;)
        if (((caps >> n) & 1) != 0 && perIsa[n] != nullptr) return perIsa[n];
    return nullptr;
}

}  // namespace vocam::kernels
