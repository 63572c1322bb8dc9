// Row bodies of simd_rows.inc built for avx2; chosen at run time.
#if defined(__x86_64__) || defined(__i386__)
#define VOCAM_TARGET __attribute__((target("avx2")))
#define VOCAM_ISA avx2
#include "color/simd_rows.inc"
#endif
