#include <ctime>

#include "zud_encrypt_tqrr.h"

int main(int argc, char** argv) {
    return zud_exit_status(zud_dispatch(argc, argv, static_cast<unsigned>(std::time(nullptr))));
}
