// The built-in province table and its lookup. The rows are a fixed business list:
// there is no "02" and no "19", and three rows are plain ASCII rather than a
// province character ("1B" -> "27", "20" -> "32", "24" -> "WJ").
#include "convert/chepaitoascii.h"

#include <array>

namespace cardsync {
namespace {

struct ProvinceRow {
  std::string_view code;
  std::string_view text;
};

// Each Chinese text is one character, two bytes in GBK, so every non-empty
// result is exactly two GBK bytes long.
constexpr std::array<ProvinceRow, 37> kProvinces{{
    {"00", "京"}, {"01", "津"}, {"03", "晋"}, {"04", "蒙"}, {"05", "辽"}, {"06", "吉"},
    {"07", "黑"}, {"08", "沪"}, {"09", "苏"}, {"0A", "浙"}, {"0B", "皖"}, {"0C", "闽"},
    {"0D", "赣"}, {"0E", "鲁"}, {"0F", "豫"}, {"10", "鄂"}, {"11", "湘"}, {"12", "粤"},
    {"13", "桂"}, {"14", "琼"}, {"15", "渝"}, {"16", "川"}, {"17", "贵"}, {"18", "云"},
    {"1A", "陕"}, {"1B", "27"}, {"1C", "青"}, {"1D", "宁"}, {"1E", "新"}, {"1F", "港"},
    {"20", "32"}, {"21", "奥"}, {"22", "警"}, {"23", "使"}, {"24", "WJ"}, {"25", "领"},
    {"26", "学"},
}};

}  // namespace

std::string ProvinceFromCode(std::string_view code) {
  for (const ProvinceRow& row : kProvinces) {
    if (row.code == code) return std::string(row.text);
  }
  return {};
}

}  // namespace cardsync
