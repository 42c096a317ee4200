// Upgrade signatures: --upgsig and the trailing signature block.
#pragma once

int zud_sig_upgrade(int argc, char** argv);
