// Kernel image signing: --imgsig.
#pragma once

int zud_sig_img(int argc, char** argv);
