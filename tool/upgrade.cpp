#include "upgrade.h"

#include "pending.h"

int zud_sig_upgrade(int, char**) { return zud_not_implemented("upgsig"); }
