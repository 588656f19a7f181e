// Request readers. Parameter values arrive in TDS's own encodings (money as
// two halves, datetime in 1/300 s, dates from year 1) and leave as the
// engine's Value; anything of unknown shape stops the parse, because the
// bytes after it cannot be located.
#include "tds_request.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "sql_convert.h"
#include "sql_decimal.h"
#include "sql_message.h"
#include "sql_quote.h"
#include "tds_tokens.h"

namespace standin::tds {

namespace {

constexpr uint16_t kHeaderTransactionDescriptor = 2;
constexpr uint16_t kProcNameById = 0xFFFF;
constexpr uint8_t kBatchFlag = 0xFF;
constexpr uint8_t kBatchFlagOld = 0x80;
constexpr uint8_t kNoExecFlag = 0xFE;
constexpr uint8_t kStatusByRef = 0x01;
constexpr uint16_t kPlpMarker = 0xFFFF;
constexpr uint64_t kPlpNull = ~0ull;
constexpr uint64_t kMaxParamBytes = 64u << 20;
constexpr uint32_t kMaxShortParamBytes =
    8000;  // nvarchar(4000), varchar(8000): longer ones are (max)
constexpr uint64_t kMinutesPerDay = 24 * 60;        // smalldatetime's time unit
constexpr uint64_t kTicksPerDay = 24 * 3600 * 300;  // datetime's, 1/300 s

constexpr uint16_t kTmBegin = 5;
constexpr uint16_t kTmCommit = 7;
constexpr uint16_t kTmRollback = 8;

std::string ProcNameById(uint16_t id) {
  switch (id) {
    case 1:
      return "sp_cursor";
    case 2:
      return "sp_cursoropen";
    case 3:
      return "sp_cursorprepare";
    case 4:
      return "sp_cursorexecute";
    case 5:
      return "sp_cursorprepexec";
    case 6:
      return "sp_cursorunprepare";
    case 7:
      return "sp_cursorfetch";
    case 8:
      return "sp_cursoroption";
    case 9:
      return "sp_cursorclose";
    case procid::kExecuteSql:
      return "sp_executesql";
    case procid::kPrepare:
      return "sp_prepare";
    case procid::kExecute:
      return "sp_execute";
    case procid::kPrepExec:
      return "sp_prepexec";
    case 14:
      return "sp_prepexecrpc";
    case procid::kUnprepare:
      return "sp_unprepare";
    default:
      throw WireError("RPC by unknown procedure id " + std::to_string(id));
  }
}

struct TypeInfo {
  uint8_t type = 0;
  uint32_t maxLength = 0;
  uint8_t precision = 0;
  uint8_t scale = 0;
  uint8_t collation[5] = {};
  bool plp = false;
};

[[noreturn]] void ThrowUnsupportedType(uint8_t t) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", t);
  throw UnsupportedRequest(std::string("parameter data type ") + hex + " is not supported");
}

enum class LengthKind { Fixed, Byte, UShort, Long };

LengthKind KindOf(uint8_t t, size_t& fixedSize) {
  switch (t) {
    case type::kInt1:
    case type::kBit:
      fixedSize = 1;
      return LengthKind::Fixed;
    case type::kInt2:
      fixedSize = 2;
      return LengthKind::Fixed;
    case type::kInt4:
    case type::kDateTim4:
    case type::kFlt4:
    case type::kMoney4:
      fixedSize = 4;
      return LengthKind::Fixed;
    case type::kMoney:
    case type::kDateTime:
    case type::kFlt8:
    case type::kInt8:
      fixedSize = 8;
      return LengthKind::Fixed;
    case type::kIntN:
    case type::kBitN:
    case type::kFltN:
    case type::kMoneyN:
    case type::kDateTimeN:
    case type::kGuid:
    case type::kDecimalN:
    case type::kNumericN:
    case type::kDecimal:
    case type::kNumeric:
    case type::kDateN:
    case type::kTimeN:
    case type::kDateTime2N:
    case type::kDateTimeOffsetN:
      return LengthKind::Byte;
    case type::kBigVarBinary:
    case type::kBigBinary:
    case type::kBigVarChar:
    case type::kBigChar:
    case type::kNVarChar:
    case type::kNChar:
      return LengthKind::UShort;
    case type::kText:
    case type::kNText:
    case type::kImage:
      return LengthKind::Long;
    default:
      ThrowUnsupportedType(t);
  }
}

bool HasCollation(uint8_t t) {
  return t == type::kBigVarChar || t == type::kBigChar || t == type::kNVarChar ||
         t == type::kNChar || t == type::kText || t == type::kNText;
}

TypeInfo ReadTypeInfo(ByteReader& r) {
  TypeInfo ti;
  ti.type = r.u8();
  size_t fixedSize = 0;
  switch (KindOf(ti.type, fixedSize)) {
    case LengthKind::Fixed:
      ti.maxLength = static_cast<uint32_t>(fixedSize);
      break;
    case LengthKind::Byte:
      if (ti.type == type::kDateN) {
        ti.maxLength = 3;
      } else if (ti.type == type::kTimeN || ti.type == type::kDateTime2N ||
                 ti.type == type::kDateTimeOffsetN) {
        ti.scale = r.u8();
        if (ti.scale > 7)
          throw WireError("time scale " + std::to_string(ti.scale) + " out of range");
      } else {
        ti.maxLength = r.u8();
      }
      if (ti.type == type::kDecimalN || ti.type == type::kNumericN || ti.type == type::kDecimal ||
          ti.type == type::kNumeric) {
        ti.precision = r.u8();
        ti.scale = r.u8();
        if (ti.scale > 38 || ti.precision > 38)
          throw WireError("decimal precision/scale out of range");
      }
      break;
    case LengthKind::UShort:
      ti.maxLength = r.u16le();
      ti.plp = ti.maxLength == kPlpMarker;
      break;
    case LengthKind::Long:
      ti.maxLength = r.u32le();
      break;
  }
  if (HasCollation(ti.type)) {
    auto c = r.bytes(5);
    std::copy(c.begin(), c.end(), ti.collation);
  }
  return ti;
}

using ValueBytes = std::span<const uint8_t>;

// Reads the value's bytes whatever their framing; nullopt is SQL NULL. The
// span points into the request, or into plp for a value sent in PLP chunks.
std::optional<ValueBytes> ReadValueBytes(ByteReader& r, const TypeInfo& ti, Bytes& plp) {
  size_t fixedSize = 0;
  switch (KindOf(ti.type, fixedSize)) {
    case LengthKind::Fixed:
      return r.bytes(fixedSize);
    case LengthKind::Byte: {
      uint8_t n = r.u8();
      if (n == 0) return std::nullopt;
      return r.bytes(n);
    }
    case LengthKind::UShort: {
      if (ti.plp) {
        uint64_t total = r.u64le();
        if (total == kPlpNull) return std::nullopt;
        plp.clear();
        for (;;) {
          uint32_t chunk = r.u32le();
          if (chunk == 0) break;
          if (plp.size() + chunk > kMaxParamBytes) throw WireError("PLP parameter too large");
          auto b = r.bytes(chunk);
          plp.insert(plp.end(), b.begin(), b.end());
        }
        return ValueBytes(plp);
      }
      uint16_t n = r.u16le();
      if (n == 0xFFFF) return std::nullopt;
      return r.bytes(n);
    }
    case LengthKind::Long: {
      uint32_t n = r.u32le();
      if (n == 0xFFFFFFFF) return std::nullopt;
      return r.bytes(n);
    }
  }
  return std::nullopt;
}

int64_t LittleEndianSigned(ValueBytes b) {
  uint64_t v = 0;
  for (size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
  if (b.size() < 8 && !b.empty() && (b.back() & 0x80)) v |= ~0ull << (8 * b.size());
  return static_cast<int64_t>(v);
}

uint64_t LittleEndianUnsigned(std::span<const uint8_t> b) {
  uint64_t v = 0;
  for (size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
  return v;
}

void ExpectSize(ValueBytes b, std::initializer_list<size_t> sizes, const char* what) {
  if (std::find(sizes.begin(), sizes.end(), b.size()) == sizes.end()) {
    throw WireError(std::string(what) + " value of " + std::to_string(b.size()) + " bytes");
  }
}

std::string CharText(ValueBytes b, const uint8_t collation[5]) {
  std::string_view raw(reinterpret_cast<const char*>(b.data()), b.size());
  uint32_t info =
      static_cast<uint32_t>(LittleEndianUnsigned(std::span<const uint8_t>(collation, 4)));
  uint32_t lcid = info & 0xFFFFF;
  bool utf8 = (info >> 26) & 1;
  if (utf8) return std::string(raw);
  if (lcid == 0x0804 || lcid == 0x1004) return GbkToUtf8(raw);
  return Cp1252ToUtf8(raw);
}

int32_t MsFromTicks(uint32_t ticks) { return static_cast<int32_t>((uint64_t(ticks) * 10 + 1) / 3); }

void DecodeInteger(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  size_t width = bytes ? bytes->size() : ti.maxLength;
  p.type = width == 1   ? SqlType::TinyInt
           : width == 2 ? SqlType::SmallInt
           : width == 8 ? SqlType::BigInt
                        : SqlType::Int;
  if (!bytes) return;
  ExpectSize(*bytes, {1, 2, 4, 8}, "integer");
  // tinyint is the one unsigned integer type.
  v.i = bytes->size() == 1 ? (*bytes)[0] : LittleEndianSigned(*bytes);
}

void DecodeBit(const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  p.type = SqlType::Bit;
  if (!bytes) return;
  ExpectSize(*bytes, {1}, "bit");
  v.i = (*bytes)[0] != 0;
}

void DecodeFloat(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  size_t width = bytes ? bytes->size() : ti.maxLength;
  p.type = width == 4 ? SqlType::Real : SqlType::Float;
  if (!bytes) return;
  ExpectSize(*bytes, {4, 8}, "float");
  if (bytes->size() == 4) {
    v.f = std::bit_cast<float>(static_cast<uint32_t>(LittleEndianUnsigned(*bytes)));
  } else {
    v.f = std::bit_cast<double>(LittleEndianUnsigned(*bytes));
  }
}

void DecodeMoney(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  size_t width = bytes ? bytes->size() : ti.maxLength;
  p.type = width == 4 ? SqlType::SmallMoney : SqlType::Money;
  if (!bytes) return;
  ExpectSize(*bytes, {4, 8}, "money");
  if (bytes->size() == 4) {
    v.i = LittleEndianSigned(*bytes);
  } else {
    uint64_t hi = LittleEndianUnsigned(std::span(*bytes).first(4));
    uint64_t lo = LittleEndianUnsigned(std::span(*bytes).subspan(4));
    v.i = static_cast<int64_t>((hi << 32) | lo);
  }
}

void DecodeDateTime(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  size_t width = bytes ? bytes->size() : ti.maxLength;
  p.type = width == 4 ? SqlType::SmallDateTime : SqlType::DateTime;
  if (!bytes) return;
  ExpectSize(*bytes, {4, 8}, "datetime");
  std::span<const uint8_t> b(*bytes);
  // The time part is range-checked in its own unit before it is scaled:
  // a client's minutes (up to 65535) or ticks times the scale overflow int32.
  if (bytes->size() == 4) {
    uint64_t minutes = LittleEndianUnsigned(b.subspan(2));
    if (minutes >= kMinutesPerDay) throw WireError("smalldatetime time of day out of range");
    v.days = static_cast<int32_t>(LittleEndianUnsigned(b.first(2)));
    v.ms = static_cast<int32_t>(minutes * 60000);
  } else {
    uint64_t ticks = LittleEndianUnsigned(b.subspan(4));
    if (ticks >= kTicksPerDay) throw WireError("datetime time of day out of range");
    v.days = static_cast<int32_t>(static_cast<uint32_t>(LittleEndianUnsigned(b.first(4))));
    v.ms = MsFromTicks(static_cast<uint32_t>(ticks));
  }
}

void DecodeDate(const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  p.type = SqlType::Date;
  if (!bytes) return;
  ExpectSize(*bytes, {3}, "date");
  v.days = static_cast<int32_t>(LittleEndianUnsigned(*bytes)) - kDaysFrom0001To1900;
}

void DecodeTime(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  // Carried as datetime: the engine has no finer date-time type.
  p.type = SqlType::DateTime;
  if (!bytes) return;
  size_t timeBytes = ti.scale <= 2 ? 3 : ti.scale <= 4 ? 4 : 5;
  size_t expect = timeBytes + (ti.type == type::kDateTime2N ? 3 : 0);
  if (bytes->size() != expect) throw WireError("datetime2/time value of unexpected size");
  std::span<const uint8_t> b(*bytes);
  uint64_t units = LittleEndianUnsigned(b.first(timeBytes));
  uint64_t scale = 1;
  for (int k = 0; k < ti.scale; ++k) scale *= 10;
  uint64_t ms = units * 1000 / scale;
  if (ms >= 86400000) throw WireError("time of day out of range");
  v.ms = static_cast<int32_t>(ms);
  v.days =
      ti.type == type::kDateTime2N
          ? static_cast<int32_t>(LittleEndianUnsigned(b.subspan(timeBytes))) - kDaysFrom0001To1900
          : 0;
}

void DecodeDecimal(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  p.type = SqlType::Decimal;
  p.scale = ti.scale;
  p.precision = ti.precision;
  if (!bytes) return;
  if (bytes->size() < 2 || bytes->size() > 17) throw WireError("decimal value of unexpected size");
  bool positive = (*bytes)[0] != 0;
  std::span<const uint8_t> mag = std::span(*bytes).subspan(1);
  // Up to 16 bytes, little-endian: decimal(38) needs 127 bits at most.
  unsigned __int128 m = 0;
  for (size_t k = mag.size(); k-- > 0;) m = (m << 8) | mag[k];
  if (m > static_cast<unsigned __int128>(PowerOfTen(38) - 1))
    throw WireError("decimal value beyond 38 digits");
  v.wide = positive ? static_cast<Int128>(m) : -static_cast<Int128>(m);
  v.i = v.wide >= INT64_MIN && v.wide <= INT64_MAX ? static_cast<int64_t>(v.wide) : 0;
}

void DecodeChar(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  p.type = ti.type == type::kBigChar ? SqlType::Char : SqlType::VarChar;
  if (!bytes) return;
  v.s = CharText(*bytes, ti.collation);
}

void DecodeNChar(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  p.type = ti.type == type::kNChar ? SqlType::NChar : SqlType::NVarChar;
  if (!bytes) return;
  if (bytes->size() % 2) throw WireError("odd byte count in a UTF-16 parameter");
  v.s = Utf16leToUtf8(*bytes);
}

void DecodeBinary(const std::optional<ValueBytes>& bytes, Param& p) {
  Value& v = p.value;
  // Binary goes to the engine as its raw bytes, as a varbinary-to-varchar
  // conversion would read them.
  p.type = SqlType::VarChar;
  if (!bytes) return;
  v.s.assign(bytes->begin(), bytes->end());
}

// One decoder per type family; each leaves the value NULL when no bytes came.
void DecodeValue(const TypeInfo& ti, const std::optional<ValueBytes>& bytes, Param& p) {
  switch (ti.type) {
    case type::kInt1:
    case type::kInt2:
    case type::kInt4:
    case type::kInt8:
    case type::kIntN:
      DecodeInteger(ti, bytes, p);
      break;
    case type::kBit:
    case type::kBitN:
      DecodeBit(bytes, p);
      break;
    case type::kFlt4:
    case type::kFlt8:
    case type::kFltN:
      DecodeFloat(ti, bytes, p);
      break;
    case type::kMoney:
    case type::kMoney4:
    case type::kMoneyN:
      DecodeMoney(ti, bytes, p);
      break;
    case type::kDateTim4:
    case type::kDateTime:
    case type::kDateTimeN:
      DecodeDateTime(ti, bytes, p);
      break;
    case type::kDateN:
      DecodeDate(bytes, p);
      break;
    case type::kTimeN:
    case type::kDateTime2N:
      DecodeTime(ti, bytes, p);
      break;
    case type::kDecimal:
    case type::kNumeric:
    case type::kDecimalN:
    case type::kNumericN:
      DecodeDecimal(ti, bytes, p);
      break;
    case type::kBigChar:
    case type::kBigVarChar:
    case type::kText:
      DecodeChar(ti, bytes, p);
      break;
    case type::kNChar:
    case type::kNVarChar:
    case type::kNText:
      DecodeNChar(ti, bytes, p);
      break;
    case type::kBigVarBinary:
    case type::kBigBinary:
    case type::kImage:
      DecodeBinary(bytes, p);
      break;
    default:
      ThrowUnsupportedType(ti.type);
  }
  if (bytes) p.value.null = false;
}

// Error 8016 for a parameter whose declared length is past what its type
// allows without (max), or whose value is longer than declared: nvarchar(n)
// stops at 4000 characters, varchar(n) and varbinary(n) at 8000 bytes.
void CheckDeclaredLength(const TypeInfo& ti, const std::optional<ValueBytes>& bytes,
                         size_t position, const std::string& name) {
  size_t fixedSize = 0;
  if (ti.plp || KindOf(ti.type, fixedSize) != LengthKind::UShort) return;
  if (ti.maxLength <= kMaxShortParamBytes && (!bytes || bytes->size() <= ti.maxLength)) return;
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", ti.type);
  throw RefusedRequest(MakeMessage(8016, 16, 1,
                                   "The incoming tabular data stream (TDS) remote procedure call "
                                   "(RPC) protocol stream is incorrect. Parameter " +
                                       std::to_string(position) + " (\"" + name +
                                       "\"): Data type " + hex +
                                       " has an invalid data length or metadata length."));
}

}  // namespace

AllHeaders ReadAllHeaders(ByteReader& r) {
  AllHeaders headers;
  uint32_t total = r.u32le();
  if (total < 4 || total - 4 > r.remaining()) {
    throw WireError("ALL_HEADERS length " + std::to_string(total) + " does not fit the message");
  }
  ByteReader h(r.bytes(total - 4));
  while (!h.empty()) {
    uint32_t length = h.u32le();
    if (length < 6 || length - 4 > h.remaining()) {
      throw WireError("header length " + std::to_string(length) + " does not fit ALL_HEADERS");
    }
    uint16_t kind = h.u16le();
    auto data = h.bytes(length - 6);
    if (kind == kHeaderTransactionDescriptor && data.size() >= 8) {
      headers.transactionDescriptor = LittleEndianUnsigned(data.first(8));
    }
  }
  return headers;
}

std::string ParseSqlBatch(std::span<const uint8_t> payload) {
  ByteReader r(payload);
  ReadAllHeaders(r);
  if (r.remaining() % 2) throw WireError("SQL batch text has an odd byte count");
  return Utf16leToUtf8(r.bytes(r.remaining()));
}

std::vector<RpcCall> ParseRpc(std::span<const uint8_t> payload) {
  ByteReader r(payload);
  ReadAllHeaders(r);
  std::vector<RpcCall> calls;
  Bytes plp;
  for (;;) {
    RpcCall call;
    uint16_t nameLength = r.u16le();
    call.procName = nameLength == kProcNameById ? ProcNameById(r.u16le()) : r.ucs2(nameLength);
    r.u16le();  // option flags: recompile, no metadata; nothing to honour here
    while (!r.empty()) {
      uint8_t next = r.peek();
      if (next == kBatchFlag || next == kBatchFlagOld || next == kNoExecFlag) break;
      if (call.params.size() == kMaxRpcParams) {
        throw RefusedRequest(MakeMessage(
            8003, 16, 1,
            "The incoming request has too many parameters. The server supports a "
            "maximum of " +
                std::to_string(kMaxRpcParams) +
                " parameters. Reduce the number of parameters and resend the request."));
      }
      RpcParam param;
      param.name = r.bVarchar();
      param.output = r.u8() & kStatusByRef;
      TypeInfo ti = ReadTypeInfo(r);
      std::optional<ValueBytes> bytes = ReadValueBytes(r, ti, plp);
      CheckDeclaredLength(ti, bytes, call.params.size(), param.name);
      param.param.name = param.name;
      DecodeValue(ti, bytes, param.param);
      call.params.push_back(std::move(param));
    }
    calls.push_back(std::move(call));
    if (r.empty()) break;
    r.u8();  // the batch flag
    if (r.empty()) break;
  }
  return calls;
}

TmRequest ParseTransactionManager(std::span<const uint8_t> payload) {
  ByteReader r(payload);
  ReadAllHeaders(r);
  TmRequest tm;
  tm.requestType = r.u16le();
  auto skipName = [&] {
    if (!r.empty()) r.skip(r.u8());
  };
  switch (tm.requestType) {
    case kTmBegin:
      tm.kind = TmRequest::Kind::Begin;
      if (!r.empty()) r.u8();  // isolation level
      skipName();
      break;
    case kTmCommit:
    case kTmRollback:
      tm.kind = tm.requestType == kTmCommit ? TmRequest::Kind::Commit : TmRequest::Kind::Rollback;
      skipName();
      if (!r.empty()) {
        tm.beginAfter = r.u8() & 0x01;
        if (tm.beginAfter) {
          if (!r.empty()) r.u8();
          skipName();
        }
      }
      break;
    default:
      tm.kind = TmRequest::Kind::Other;
      break;
  }
  return tm;
}

std::vector<std::string> DeclaredParamNames(std::string_view declaration) {
  std::vector<std::string> names;
  int depth = 0;
  size_t start = 0;
  auto take = [&](std::string_view part) {
    size_t i = 0;
    while (i < part.size() && std::isspace(static_cast<unsigned char>(part[i]))) ++i;
    size_t j = i;
    while (j < part.size() && !std::isspace(static_cast<unsigned char>(part[j])) && part[j] != '(')
      ++j;
    if (j > i && part[i] == '@') names.emplace_back(part.substr(i, j - i));
  };
  for (size_t k = 0; k <= declaration.size(); ++k) {
    if (k == declaration.size() || (declaration[k] == ',' && depth == 0)) {
      take(declaration.substr(start, k - start));
      start = k + 1;
    } else if (declaration[k] == '(') {
      ++depth;
    } else if (declaration[k] == ')' && depth > 0) {
      --depth;
    }
  }
  return names;
}

bool IsTextParam(const RpcParam& p) {
  switch (p.param.type) {
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar:
      return true;
    default:
      return false;
  }
}

std::vector<Param> CallValues(const std::vector<RpcParam>& params, size_t first,
                              const std::vector<std::string>& names) {
  std::vector<Param> out;
  for (size_t k = first; k < params.size(); ++k) {
    Param p = params[k].param;
    size_t position = k - first;
    if (p.name.empty())
      p.name = position < names.size() ? names[position] : "@P" + std::to_string(position + 1);
    out.push_back(std::move(p));
  }
  return out;
}

std::string ParamLiteral(const Param& p) {
  const Value& v = p.value;
  if (v.null) return "NULL";
  char buf[64];
  switch (p.type) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
      return std::to_string(v.i);
    case SqlType::Money:
    case SqlType::SmallMoney:
      return FormatDecimal(Decimal{v.i, 4});
    case SqlType::Decimal:
      return FormatDecimal(Decimal{Unscaled(v), std::clamp(p.scale, 0, 38)});
    case SqlType::Float:
    case SqlType::Real:
      std::snprintf(buf, sizeof buf, "%.17g", v.f);
      return buf;
    case SqlType::DateTime:
    case SqlType::SmallDateTime:
    case SqlType::Date:
      // Written as the engine stores and binds the value.
      return "'" + (p.type == SqlType::Date ? FormatDate(v.days) : FormatDateTime({v.days, v.ms})) +
             "'";
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar:
      return (p.type == SqlType::NChar || p.type == SqlType::NVarChar ? "N" : "") +
             QuoteSqlString(v.s);
  }
  return "?";
}

}  // namespace standin::tds
