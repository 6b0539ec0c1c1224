#include "app/formats.h"

namespace fwp {

std::string FormatSeconds(std::uint32_t seconds) {
    if (seconds / 60 < 60)
        return std::to_string(seconds / 60) + ":" + std::to_string(seconds % 60);
    return std::to_string(seconds / 3600) + "h " + std::to_string(seconds % 3600 / 60) + ":" +
           std::to_string(seconds % 60);
}

}  // namespace fwp
