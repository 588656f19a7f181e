// Vehicle-plate province codes: a card number starts with a two-character code
// that the transfer job replaces with the province's abbreviation before it
// writes the card to the destination table.
#pragma once

#include <string>
#include <string_view>

namespace cardsync {

// The abbreviation (UTF-8) for a two-character province code such as "0A", or
// the empty text when the code has no row. The comparison is exact and
// case-sensitive over the whole text: "0a" and "0A " match nothing.
std::string ProvinceFromCode(std::string_view code);

}  // namespace cardsync
