// Bootloader signing: --bootsig, the eFuse pattern and the boot media files.
#pragma once

int zud_sig_boot(int argc, char** argv);
