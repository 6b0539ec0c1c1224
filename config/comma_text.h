#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fwp {

// The comma text form of a list of strings, as config.ini stores the recent
// addresses: entries joined by ","; an entry holding a space, a control
// character, a comma or a double quote is put between double quotes with each
// inner quote doubled. A list of one empty entry is written "" so that it
// does not read back as an empty list.
std::string ToCommaText(const std::vector<std::string>& entries);

// Reads comma text: entries are separated by commas and also by spaces
// outside quotes; blanks before an entry are skipped; a comma at the very end
// adds an empty entry. An empty text gives an empty list.
std::vector<std::string> FromCommaText(std::string_view text);

}  // namespace fwp
