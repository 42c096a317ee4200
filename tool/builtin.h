// Built-in key signer and device packages: --mkpsd, --mkcusid, --mksd.
#pragma once

int zud_mk_sd(int argc, char** argv);
int zud_mk_password(int argc, char** argv);
int zud_mk_customer_id(int argc, char** argv);
