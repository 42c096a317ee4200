// The libFuzzer entry of one target: ZUD_FUZZ_ENTRY names the fuzz entry
// (fuzz_entries.h) the target runs.
#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return ZUD_FUZZ_ENTRY(data, size);
}
