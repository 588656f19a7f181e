// Province codes, integer texts, Unix time and GBK byte counts. Expected
// province texts are written as code points so a mistyped character in the
// table cannot hide behind the same mistake here.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/error.h"
#include "convert/chepaitoascii.h"
#include "convert/gbk_text.h"
#include "convert/log_text.h"
#include "convert/unixtime.h"

namespace cardsync {
namespace {

struct ProvinceCase {
  const char* code;
  const char* text;
};

TEST(ProvinceFromCode, EveryRowOfTheTable) {
  const std::vector<ProvinceCase> rows = {
      {"00", "\u4EAC"}, {"01", "\u6D25"}, {"03", "\u664B"}, {"04", "\u8499"}, {"05", "\u8FBD"},
      {"06", "\u5409"}, {"07", "\u9ED1"}, {"08", "\u6CAA"}, {"09", "\u82CF"}, {"0A", "\u6D59"},
      {"0B", "\u7696"}, {"0C", "\u95FD"}, {"0D", "\u8D63"}, {"0E", "\u9C81"}, {"0F", "\u8C6B"},
      {"10", "\u9102"}, {"11", "\u6E58"}, {"12", "\u7CA4"}, {"13", "\u6842"}, {"14", "\u743C"},
      {"15", "\u6E1D"}, {"16", "\u5DDD"}, {"17", "\u8D35"}, {"18", "\u4E91"}, {"1A", "\u9655"},
      {"1B", "27"},     {"1C", "\u9752"}, {"1D", "\u5B81"}, {"1E", "\u65B0"}, {"1F", "\u6E2F"},
      {"20", "32"},     {"21", "\u5965"}, {"22", "\u8B66"}, {"23", "\u4F7F"}, {"24", "WJ"},
      {"25", "\u9886"}, {"26", "\u5B66"},
  };
  ASSERT_EQ(rows.size(), 37u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    const std::string text = ProvinceFromCode(row.code);
    EXPECT_EQ(text, row.text);
    EXPECT_EQ(GbkByteLength(text), 2u);  // every result is two bytes in the program's encoding
  }
}

TEST(ProvinceFromCode, TextsWithoutARowGiveEmpty) {
  const std::vector<std::string> codes = {"02",
                                          "19",
                                          "27",
                                          "FF",
                                          "0a",
                                          "1b",
                                          "",
                                          "0",
                                          "0A ",
                                          " 0A",
                                          "0AK",
                                          "\u4EAC",
                                          std::string("0A\0", 3)};
  for (const auto& code : codes) {
    SCOPED_TRACE("[" + code + "]");
    EXPECT_EQ(ProvinceFromCode(code), "");
  }
}

struct IntCase {
  const char* text;
  int64_t value;
};

TEST(StrToInt64, AcceptedTexts) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const std::vector<IntCase> cases = {
      {"0", 0},
      {"42", 42},
      {" 42", 42},
      {"    -5", -5},
      {"+7", 7},
      {"-0", 0},
      {"007", 7},
      {"00000000000000000000000042", 42},
      {"1700000000", 1700000000},
      {"9223372036854775807", kMax},
      {"-9223372036854775808", kMin},
      {"+9223372036854775807", kMax},
      {"$10", 16},
      {"0x10", 16},
      {"0X10", 16},
      {"x10", 16},
      {"X1f", 31},
      {"$aBcD", 0xABCD},
      {"$7FFFFFFFFFFFFFFF", kMax},
      {"$8000000000000000", kMin},
      {"$FFFFFFFFFFFFFFFF", -1},
      {"0xfffffffffffffffe", -2},
      {"$0000000000000001", 1},
      {"-$10", -16},
      {"+$10", 16},
      {" -0x10", -16},
      {"-$FFFFFFFFFFFFFFFF", 1},
      {"-$8000000000000000", kMin},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(StrToInt64(c.text), c.value);
  }
}

TEST(StrToInt64, RejectedTextsNameTheWholeText) {
  const std::vector<std::string> texts = {
      "",
      " ",
      "42 ",
      "\t42",
      "42\n",
      "1.0",
      "abc",
      "+",
      "-",
      "$",
      "0x",
      "x",
      "-$",
      "- 5",
      "--5",
      "+-5",
      "$ 10",
      "$G",
      "0x1g",
      "1e3",
      "0 x10",
      "00x10",
      "9223372036854775808",
      "-9223372036854775809",
      "18446744073709551616",
      "99999999999999999999999",
      "$10000000000000000",
      "0x00000000000000001",
      "\uFF11\uFF12",  // full-width digits
  };
  for (const auto& text : texts) {
    SCOPED_TRACE("[" + text + "]");
    try {
      const int64_t value = StrToInt64(text);
      ADD_FAILURE() << "accepted as " << value;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), "'" + text + "' is not a valid integer value");
    }
  }
  // A NUL ends the digits like any other character (what() cannot show it).
  EXPECT_THROW(StrToInt64(std::string("4\0", 2)), Error);
}

struct UnixCase {
  int64_t seconds;
  double expected;  // correctly rounded value of (seconds + 28800) / 86400 + 25569
};

TEST(UnixToLocalDateTime, RoundsOnceFromExtendedPrecision) {
  const std::vector<UnixCase> cases = {
      {0, 25569.333333333332},
      {-28800, 25569.0},
      {86400, 25570.333333333332},
      {-86400 - 28800, 25568.0},
      // Dividing in double and then adding would be off by one unit in the last place here.
      {1700000000, 45245.259259259263},
      {1700000011, 45245.259386574071},
      {1700000013, 45245.259409722225},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(UnixToLocalDateTime(c.seconds), c.expected);
  }
}

TEST(UnixToLocalDateTime, ExtremesDoNotWrapAround) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  // Exact sums; a 64-bit addition would wrap INT64_MAX round to about -1.0675e14.
  EXPECT_DOUBLE_EQ(UnixToLocalDateTime(kMax), 106751991192869.98);
  EXPECT_DOUBLE_EQ(UnixToLocalDateTime(kMax - 28799), 106751991192869.64);
  EXPECT_DOUBLE_EQ(UnixToLocalDateTime(kMin), -106751991141731.31);
}

TEST(GbkText, ByteLengthCountsOneForAsciiAndTwoOtherwise) {
  const std::vector<std::pair<std::string, std::size_t>> cases = {
      {"", 0},
      {"abc", 3},
      {"\u4EAC", 2},
      {"\u6D59K123", 6},
      {"\u00E9", 2},
      {"\u20AC", 1},            // code page 936 has the euro sign at 0x80
      {"\U0001F600", 2},        // outside GBK: kept whole, counted as a double-byte character
      {"\xFF", 1},              // not UTF-8
      {"\xE4\xBA", 2},          // a character cut short: two stray bytes
      {"\xC0\x80", 2},          // overlong form
      {"\xE0\x80\xAF", 3},      // overlong three-byte form of '/'
      {"\xED\xA0\x80", 3},      // encoded surrogate
      {"\xF4\x90\x80\x80", 4},  // beyond U+10FFFF
  };
  for (const auto& [text, bytes] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(GbkByteLength(text), bytes);
  }
}

struct CopyCase {
  const char* text;
  std::size_t position;
  std::size_t count;
  const char* expected;
};

TEST(GbkText, CopyTakesTheCharactersStartingInTheRange) {
  constexpr std::size_t kRest = std::numeric_limits<std::size_t>::max();
  const std::vector<CopyCase> cases = {
      {"0AK123", 1, 2, "0A"},
      {"0AK123", 3, 10, "K123"},
      {"0AK1234567890123", 3, 10, "K123456789"},
      {"0A", 3, 10, ""},
      {"0", 1, 2, "0"},
      {"", 1, 2, ""},
      {"\u4EACA12345", 1, 2, "\u4EAC"},
      {"\u4EACA12345", 3, 10, "A12345"},
      {"A\u4EAC12", 1, 2, "A\u4EAC"},  // starts on byte 2: belongs to the first range
      {"A\u4EAC12", 3, 10, "12"},
      {"0AK12345678\u4EAC", 3, 10, "K12345678\u4EAC"},  // starts on byte 12, the last one
      {"0AK123456789\u4EAC", 3, 10, "K123456789"},      // starts on byte 13
      {"abc", 0, 2, "ab"},
      {"abc", 2, 0, ""},
      {"abc", 2, kRest, "bc"},
      {"abc", 5, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " @" + std::to_string(c.position) + "+" +
                 std::to_string(c.count));
    EXPECT_EQ(GbkCopy(c.text, c.position, c.count), c.expected);
  }
}

TEST(GbkText, AdjacentCopiesShareOutTheTextExactly) {
  const std::vector<std::string> texts = {
      "0AK123",         "\u4EACA12345",  "A\u4EAC12",          "\u4EAC\u6D25\u664B",
      "a\u20ACb\u00E9", "\xFF\xE4\xBAx", "A\U0001F600\u4EAC9",
  };
  for (const auto& text : texts) {
    const std::size_t length = GbkByteLength(text);
    for (std::size_t cut = 0; cut <= length + 1; ++cut) {
      SCOPED_TRACE(testing::PrintToString(text) + " cut after byte " + std::to_string(cut));
      const std::string head = GbkCopy(text, 1, cut);
      const std::string tail = GbkCopy(text, cut + 1, length);
      EXPECT_EQ(head + tail, text);
    }
  }
}

TEST(GbkText, TruncateNeverSplitsOrOverruns) {
  const std::vector<CopyCase> cases = {
      {"abc", 0, 2, "ab"},
      {"abc", 0, 5, "abc"},
      {"\u4EAC\u6D25", 0, 3, "\u4EAC"},
      {"\u4EAC\u6D25", 0, 4, "\u4EAC\u6D25"},
      {"a\u4EAC", 0, 2, "a"},
      {"\u4EAC", 0, 1, ""},
      {"", 0, 0, ""},
      {"\xFF\xFE", 0, 1, "\xFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " to " + std::to_string(c.count));
    const std::string cut = GbkTruncate(c.text, c.count);
    EXPECT_EQ(cut, c.expected);
    EXPECT_LE(GbkByteLength(cut), c.count);
  }
}

TEST(GbkText, EveryByteValueIsConsumed) {
  // Whatever the bytes, the helpers walk the whole text and give every byte back.
  for (int lead = 0; lead < 256; ++lead) {
    for (const std::string tail : {"", "\x80", "\xBF\xBF", "\x80\x80\x80", "A"}) {
      const std::string text = std::string(1, static_cast<char>(lead)) + tail;
      SCOPED_TRACE(testing::PrintToString(text));
      EXPECT_EQ(GbkCopy(text, 1, std::numeric_limits<std::size_t>::max()), text);
      EXPECT_EQ(GbkTruncate(text, 1000), text);
      EXPECT_GE(GbkByteLength(text), 1u);
    }
  }
}

// A record's text may not forge a log line, hide part of one, or pass for an escape.
TEST(LogText, ControlsAndOverridesAreShownEscaped) {
  struct Case {
    std::string in;
    std::string shown;
  };
  const Case cases[] = {
      {"A1", "A1"},
      {"浙K123 京", "浙K123 京"},                   // Chinese and blanks stay
      {"A\n12/9 处理数据!", "A\\n12/9 处理数据!"},  // a newline would start a new line
      {"A\r\tB", "A\\r\\tB"},
      {"\x1b[2J\x07\x7f", "\\x1b[2J\\x07\\x7f"},  // terminal escapes, BEL, DEL
      {"x\xc2\x9by", "x\\u009by"},                // C1 CSI
      {"ab\xe2\x80\xae"
       "dc",
       "ab\\u202edc"},                                   // right-to-left override
      {"\xe2\x81\xa6x\xe2\x81\xa9", "\\u2066x\\u2069"},  // isolates
      {"a\\nb", "a\\\\nb"},                              // a backslash cannot forge an escape
      {"\xe0\x80\x8a", "\\xe0\\x80\\x8a"},               // an overlong newline is no character
      {"\xc0\x8a", "\\xc0\\x8a"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // a surrogate
      {"ab\xe6\xb5", "ab\\xe6\\xb5"},       // cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(LogText(c.in), c.shown);
  }
}

}  // namespace
}  // namespace cardsync
