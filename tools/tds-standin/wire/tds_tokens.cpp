// Token writers and the engine-type to TDS-type mapping. Lengths inside a
// token are reserved first and patched once the body is known, so a body and
// its length can never disagree.
#include "tds_tokens.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace standin::tds {

namespace {

constexpr uint32_t kMaxShortBytes = 8000;  // beyond this a value needs a (max) type
constexpr uint16_t kPlpMarker = 0xFFFF;
constexpr uint64_t kPlpNull = ~0ull;
constexpr uint16_t kCharNull = 0xFFFF;

// Starts a token whose 16-bit length follows the token byte; returns where
// the length goes.
size_t BeginToken(Bytes& out, uint8_t tokenType) {
  put_u8(out, tokenType);
  size_t at = out.size();
  put_u16le(out, 0);
  return at;
}

void EndToken(Bytes& out, size_t lengthAt) {
  size_t length = out.size() - lengthAt - 2;
  if (length > 0xFFFF) throw std::runtime_error("token longer than 65535 bytes");
  patch_u16le(out, lengthAt, static_cast<uint16_t>(length));
}

void PutB_VarByte(Bytes& out, std::span<const uint8_t> data) {
  put_u8(out, static_cast<uint8_t>(data.size()));
  put_bytes(out, data);
}

uint8_t DecimalLength(int precision) {
  if (precision <= 9) return 5;
  if (precision <= 19) return 9;
  if (precision <= 28) return 13;
  return 17;
}

int DecimalPrecision(const Column& c) { return c.precision > 0 ? std::min(c.precision, 38) : 18; }

bool IsCharType(SqlType t) { return t == SqlType::Char || t == SqlType::VarChar; }
bool IsNCharType(SqlType t) { return t == SqlType::NChar || t == SqlType::NVarChar; }

// The bytes a character value takes on the wire, padding fixed-width ones.
std::string CharBytes(const Column& c, const Value& v) {
  std::string gbk = Utf8ToGbk(v.s);
  if (c.type == SqlType::Char && c.length > 0 && gbk.size() < size_t(c.length)) {
    gbk.append(size_t(c.length) - gbk.size(), ' ');
  }
  return gbk;
}

Bytes NCharBytes(const Column& c, const Value& v) {
  Bytes u = Utf8ToUtf16le(v.s);
  if (c.type == SqlType::NChar && c.length > 0 && u.size() < size_t(c.length) * 2) {
    while (u.size() < size_t(c.length) * 2) {
      put_u8(u, ' ');
      put_u8(u, 0);
    }
  }
  return u;
}

void PutPlp(Bytes& out, std::span<const uint8_t> data) {
  put_u64le(out, data.size());
  if (!data.empty()) {
    put_u32le(out, static_cast<uint32_t>(data.size()));
    put_bytes(out, data);
  }
  put_u32le(out, 0);
}

void PutFixedInt(Bytes& out, int64_t v, int width) {
  put_u8(out, static_cast<uint8_t>(width));
  for (int i = 0; i < width; ++i)
    put_u8(out, static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
}

}  // namespace

void WriteDone(Bytes& out, uint8_t kind, uint16_t status, uint16_t curCmd, uint64_t rowCount) {
  put_u8(out, kind);
  put_u16le(out, status);
  put_u16le(out, curCmd);
  put_u64le(out, rowCount);
}

void WriteMessage(Bytes& out, bool isError, const ServerMessage& msg, const ServerInfo& server) {
  size_t at = BeginToken(out, isError ? token::kError : token::kInfo);
  put_u32le(out, static_cast<uint32_t>(msg.number));
  put_u8(out, static_cast<uint8_t>(msg.state));
  put_u8(out, static_cast<uint8_t>(msg.severity));
  put_us_varchar(out, msg.text);
  put_b_varchar(out, server.serverName);
  put_b_varchar(out, msg.procName);
  put_u32le(out, static_cast<uint32_t>(msg.line));
  EndToken(out, at);
}

void WriteEnvChange(Bytes& out, uint8_t kind, std::string_view newValue,
                    std::string_view oldValue) {
  size_t at = BeginToken(out, token::kEnvChange);
  put_u8(out, kind);
  put_b_varchar(out, newValue);
  put_b_varchar(out, oldValue);
  EndToken(out, at);
}

void WriteEnvChangeBytes(Bytes& out, uint8_t kind, std::span<const uint8_t> newValue,
                         std::span<const uint8_t> oldValue) {
  size_t at = BeginToken(out, token::kEnvChange);
  put_u8(out, kind);
  PutB_VarByte(out, newValue);
  PutB_VarByte(out, oldValue);
  EndToken(out, at);
}

void WriteLoginAck(Bytes& out, uint32_t tdsVersion) {
  size_t at = BeginToken(out, token::kLoginAck);
  put_u8(out, 1);  // T-SQL interface
  put_u32be(out, tdsVersion);
  put_b_varchar(out, "Microsoft SQL Server");
  for (uint8_t b : {0x0F, 0x00, 0x07, 0xD0}) put_u8(out, b);  // 15.0.2000
  EndToken(out, at);
}

void WriteReturnStatus(Bytes& out, int32_t status) {
  put_u8(out, token::kReturnStatus);
  put_u32le(out, static_cast<uint32_t>(status));
}

void WriteReturnValueInt(Bytes& out, uint16_t ordinal, std::string_view name, int32_t value) {
  put_u8(out, token::kReturnValue);
  put_u16le(out, ordinal);
  put_b_varchar(out, name);
  put_u8(out, 0x01);  // an output parameter
  put_u32le(out, 0);  // user type
  put_u16le(out, 0x0001);
  put_u8(out, type::kIntN);
  put_u8(out, 4);
  PutFixedInt(out, value, 4);
}

std::vector<WireColumn> DescribeColumns(const std::vector<Column>& columns,
                                        const std::vector<std::vector<Value>>& rows) {
  std::vector<WireColumn> out;
  out.reserve(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    WireColumn w{c};
    switch (c.type) {
      case SqlType::Int:
        w.tdsType = type::kIntN;
        w.maxLength = 4;
        break;
      case SqlType::BigInt:
        w.tdsType = type::kIntN;
        w.maxLength = 8;
        break;
      case SqlType::SmallInt:
        w.tdsType = type::kIntN;
        w.maxLength = 2;
        break;
      case SqlType::TinyInt:
        w.tdsType = type::kIntN;
        w.maxLength = 1;
        break;
      case SqlType::Bit:
        w.tdsType = type::kBitN;
        w.maxLength = 1;
        break;
      case SqlType::Money:
        w.tdsType = type::kMoneyN;
        w.maxLength = 8;
        break;
      case SqlType::SmallMoney:
        w.tdsType = type::kMoneyN;
        w.maxLength = 4;
        break;
      case SqlType::Decimal:
        w.tdsType = type::kDecimalN;
        w.maxLength = DecimalLength(DecimalPrecision(c));
        break;
      case SqlType::Float:
        w.tdsType = type::kFltN;
        w.maxLength = 8;
        break;
      case SqlType::Real:
        w.tdsType = type::kFltN;
        w.maxLength = 4;
        break;
      case SqlType::DateTime:
        w.tdsType = type::kDateTimeN;
        w.maxLength = 8;
        break;
      case SqlType::SmallDateTime:
        w.tdsType = type::kDateTimeN;
        w.maxLength = 4;
        break;
      case SqlType::Date:
        w.tdsType = type::kDateN;
        w.maxLength = 3;
        break;
      case SqlType::Char:
      case SqlType::VarChar:
      case SqlType::NChar:
      case SqlType::NVarChar: {
        bool wide = IsNCharType(c.type);
        size_t longest = 0;
        for (const auto& row : rows) {
          if (i < row.size() && !row[i].null) {
            longest = std::max(longest,
                               wide ? NCharBytes(c, row[i]).size() : CharBytes(c, row[i]).size());
          }
        }
        size_t declared = size_t(std::max(c.length, 0)) * (wide ? 2 : 1);
        size_t size = std::max({declared, longest, size_t(wide ? 2 : 1)});
        bool fixed = c.type == SqlType::Char || c.type == SqlType::NChar;
        if (size > kMaxShortBytes) {
          w.plp = true;
          w.maxLength = kPlpMarker;
          w.tdsType = wide ? type::kNVarChar : type::kBigVarChar;
        } else {
          w.maxLength = static_cast<uint32_t>(size);
          w.tdsType = wide ? (fixed ? type::kNChar : type::kNVarChar)
                           : (fixed ? type::kBigChar : type::kBigVarChar);
        }
        break;
      }
    }
    out.push_back(std::move(w));
  }
  return out;
}

void WriteColMetadata(Bytes& out, const std::vector<WireColumn>& columns) {
  put_u8(out, token::kColMetadata);
  put_u16le(out, static_cast<uint16_t>(columns.size()));
  for (const auto& w : columns) {
    put_u32le(out, 0);                               // user type
    put_u16le(out, w.column.nullable ? 0x0001 : 0);  // flags
    put_u8(out, w.tdsType);
    switch (w.tdsType) {
      case type::kDateN:
        break;
      case type::kDecimalN:
        put_u8(out, static_cast<uint8_t>(w.maxLength));
        put_u8(out, static_cast<uint8_t>(DecimalPrecision(w.column)));
        put_u8(out, static_cast<uint8_t>(std::clamp(w.column.scale, 0, 38)));
        break;
      case type::kBigChar:
      case type::kBigVarChar:
      case type::kNChar:
      case type::kNVarChar:
        put_u16le(out, static_cast<uint16_t>(w.maxLength));
        put_bytes(out, std::span<const uint8_t>(kCollation, 5));
        break;
      default:
        put_u8(out, static_cast<uint8_t>(w.maxLength));
        break;
    }
    put_b_varchar(out, w.column.name);
  }
}

namespace {

// NULL in each framing: PLP's null length, the 16-bit one of character
// types, or a zero length byte.
void WriteNullValue(Bytes& out, const WireColumn& w) {
  const SqlType t = w.column.type;
  if (w.plp) {
    put_u64le(out, kPlpNull);
  } else if (IsCharType(t) || IsNCharType(t)) {
    put_u16le(out, kCharNull);
  } else {
    put_u8(out, 0);
  }
}

// A non-NULL value in its column's wire form (the length the metadata
// promised, then the bytes).
void WriteValue(Bytes& out, const WireColumn& w, const Value& v) {
  switch (w.column.type) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
      PutFixedInt(out, v.i, static_cast<int>(w.maxLength));
      break;
    case SqlType::Bit:
      PutFixedInt(out, v.i != 0 ? 1 : 0, 1);
      break;
    case SqlType::Money:
      // Eight-byte money goes as its high 32 bits, then its low 32 bits.
      put_u8(out, 8);
      put_u32le(out, static_cast<uint32_t>(static_cast<uint64_t>(v.i) >> 32));
      put_u32le(out, static_cast<uint32_t>(static_cast<uint64_t>(v.i)));
      break;
    case SqlType::SmallMoney:
      PutFixedInt(out, v.i, 4);
      break;
    case SqlType::Decimal: {
      put_u8(out, static_cast<uint8_t>(w.maxLength));
      const __int128 unscaled = Unscaled(v);
      put_u8(out, unscaled < 0 ? 0 : 1);
      unsigned __int128 magnitude = unscaled < 0 ? -static_cast<unsigned __int128>(unscaled)
                                                 : static_cast<unsigned __int128>(unscaled);
      for (uint32_t k = 0; k + 1 < w.maxLength; ++k) {
        put_u8(out, k < 16 ? static_cast<uint8_t>(magnitude >> (8 * k)) : 0);
      }
      break;
    }
    case SqlType::Float:
      put_u8(out, 8);
      put_u64le(out, std::bit_cast<uint64_t>(v.f));
      break;
    case SqlType::Real:
      put_u8(out, 4);
      put_u32le(out, std::bit_cast<uint32_t>(static_cast<float>(v.f)));
      break;
    case SqlType::DateTime: {
      // Time is counted in 1/300 s; the last tick of a day is 23:59:59.997.
      uint32_t ticks = std::min<uint32_t>((static_cast<uint32_t>(std::max(v.ms, 0)) * 3 + 5) / 10,
                                          300u * 86400u - 1);
      put_u8(out, 8);
      put_u32le(out, static_cast<uint32_t>(v.days));
      put_u32le(out, ticks);
      break;
    }
    case SqlType::SmallDateTime:
      put_u8(out, 4);
      put_u16le(out, static_cast<uint16_t>(v.days));
      put_u16le(out, static_cast<uint16_t>(std::max(v.ms, 0) / 60000));
      break;
    case SqlType::Date: {
      uint32_t days = static_cast<uint32_t>(v.days + kDaysFrom0001To1900);
      put_u8(out, 3);
      for (int k = 0; k < 3; ++k) put_u8(out, static_cast<uint8_t>(days >> (8 * k)));
      break;
    }
    case SqlType::Char:
    case SqlType::VarChar: {
      std::string bytes = CharBytes(w.column, v);
      auto data =
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      if (w.plp) {
        PutPlp(out, data);
      } else {
        put_u16le(out, static_cast<uint16_t>(bytes.size()));
        put_bytes(out, data);
      }
      break;
    }
    case SqlType::NChar:
    case SqlType::NVarChar: {
      Bytes bytes = NCharBytes(w.column, v);
      if (w.plp) {
        PutPlp(out, bytes);
      } else {
        put_u16le(out, static_cast<uint16_t>(bytes.size()));
        put_bytes(out, bytes);
      }
      break;
    }
  }
}

}  // namespace

void WriteRow(Bytes& out, const std::vector<WireColumn>& columns, const std::vector<Value>& row) {
  if (row.size() != columns.size()) {
    throw std::runtime_error("row has " + std::to_string(row.size()) + " values for " +
                             std::to_string(columns.size()) + " columns");
  }
  put_u8(out, token::kRow);
  for (size_t i = 0; i < columns.size(); ++i) {
    if (row[i].null) {
      WriteNullValue(out, columns[i]);
    } else {
      WriteValue(out, columns[i], row[i]);
    }
  }
}

}  // namespace standin::tds
