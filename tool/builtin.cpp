// The built-in key signer.
#include "builtin.h"
