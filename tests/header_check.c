/* Compiled as C99: the public headers must stay plain C. */
#include "vocamapi.h"
#include "vocamkernels.h"
#include "vocamusb.h"

int vocam_header_check(void);
int vocam_header_check(void) {
    return (int)sizeof(vocam_version);
}
