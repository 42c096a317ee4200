// Signing a fixed-layout block (the keymax block and the BL2 block).
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.h"
#include "fixed_block.h"

class SigningKey;

// Lays the public half of `key` out at the block's key area: its key header
// at 576 and its key data behind it, zeros up to the end of the 1208-byte
// area. A key read from a full binary key file is laid out from the file's
// own records, any other from its public half, so that the block carries
// the key its signature is checked with whatever form the key came in.
// Draws once (the key header's timestamp). Returns the key_type, or nullopt
// when the key data would not fit the area.
std::optional<std::uint8_t> place_fixed_key(const SigningKey& key, MutBytes block);

// Digests the block (its header and everything from signed_data_offset)
// and puts the signature by `key`, or without a key the digest, at the start
// of the slot. 0, or -1 when the signature cannot be made (key->failure()
// says why).
int seal_fixed_block(MutBytes block, SigningKey* key);
