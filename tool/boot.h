// Bootloader signing: --bootsig, the eFuse pattern and the boot media files.
#pragma once

int zud_sig_boot(int argc, char** argv);

// Boot media variants of a signed bootloader B, written beside it:
// "B.usb.bl2" (B's first 49152 bytes, zero-filled where B is shorter),
// "B.usb.tpl" (B from byte 49152 on) and "B.sd.bin" (a 512-byte sector of
// random filler, then all of B).
enum BootMediaResult : int { kBootMediaFailed = 4565 };

// Returns 0, or 4565 when there is no path, the source cannot be read, a
// derived name would exceed 255 characters, no memory for the copy buffer,
// or a variant could not be written completely (that variant is removed).
// A variant file that cannot be created is skipped.
int zud_uboot_process(const char* path);
