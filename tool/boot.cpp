#include "boot.h"

#include "pending.h"

int zud_sig_boot(int, char**) { return zud_not_implemented("bootsig"); }
