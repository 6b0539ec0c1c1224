// The list of recent addresses as config.ini stores it. Whatever list a
// text reads as, writing that list and reading it again gives it back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/comma_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> entries =
        fwp::FromCommaText(std::string_view(reinterpret_cast<const char*>(data), size));
    if (fwp::FromCommaText(fwp::ToCommaText(entries)) != entries)
        std::abort();
    return 0;
}
