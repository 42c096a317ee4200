#include "image.h"

#include "pending.h"

int zud_sig_img(int, char**) { return zud_not_implemented("imgsig"); }
