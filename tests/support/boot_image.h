// Android boot images made by the mkbootimg tool, for tests.
#pragma once

#include <optional>
#include <string>

#include "support/files.h"

// Writes the parts into `dir` and runs mkbootimg; returns the image path.
// Without `second` the image has no second stage.
std::string make_boot_image(const std::string& dir, const Bytes& kernel, const Bytes& ramdisk,
                            const std::optional<Bytes>& second, int page_size = 2048);
