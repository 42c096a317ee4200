#include "cli.h"

void parse_option_slots(int argc, char** argv, const option* options,
                        std::span<const char*> slots) {
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, "", options, &index);
        if (c == -1) break;
        if (c == 0 && index >= 0 && static_cast<std::size_t>(index) < slots.size())
            slots[static_cast<std::size_t>(index)] = optarg;
    }
}
