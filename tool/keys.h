// The keys module: key files, key blocks, and the keymax and user key file.
#pragma once

#include "key_block.h"
#include "keyfile.h"
#include "keymax.h"
