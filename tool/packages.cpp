// Device packages and SD images: --mkpsd, --mkcusid and --mksd.
#include "builtin.h"

#include "pending.h"

int zud_mk_sd(int, char**) { return zud_not_implemented("mksd"); }
int zud_mk_password(int, char**) { return zud_not_implemented("mkpsd"); }
int zud_mk_customer_id(int, char**) { return zud_not_implemented("mkcusid"); }
