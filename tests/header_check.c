/* Compiled as C99: the public headers must stay plain C. */
#include "vocamapi.h"
#include "vocamusb.h"
#include "vocamkernels.h"

int vocam_header_check(void);
int vocam_header_check(void) { return (int)sizeof(vocam_version); }
