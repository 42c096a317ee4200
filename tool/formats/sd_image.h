// The SD card image: the layout --mksd writes for any file and --bootsig
// writes for its bootloader (".sd.bin"), and the audit reads back.
#pragma once

#include <cstddef>

// 0: 512 bytes of filler (one sector, the low bytes of successive rand()
// draws); 512: the file, unchanged, to its end. Nothing records the file's
// size: the image is always exactly 512 bytes longer.
inline constexpr std::size_t kSdFillerSize = 512;
