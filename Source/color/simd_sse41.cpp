// Row bodies of simd_rows.inc built for sse4.1; chosen at run time.
#if defined(__x86_64__) || defined(__i386__)
#define VOCAM_TARGET __attribute__((target("sse4.1")))
#define VOCAM_ISA sse41
#include "color/simd_rows.inc"
#endif
