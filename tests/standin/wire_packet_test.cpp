// The TDS readers without a server: message reassembly from arbitrary TCP
// chunks, header checks, LOGIN7 and RPC parsing of every parameter type the
// drivers send, and that no truncation of a valid message is read past.
#include <gtest/gtest.h>

#include "tds_buffer.h"
#include "tds_login.h"
#include "tds_packet.h"
#include "tds_request.h"
#include "tds_tokens.h"

namespace standin::tds {
namespace {

Bytes Packet(uint8_t type, uint8_t status, const Bytes& payload) {
  Bytes out;
  put_u8(out, type);
  put_u8(out, status);
  put_u16be(out, static_cast<uint16_t>(payload.size() + packet::kHeaderSize));
  put_u16be(out, 0);
  put_u8(out, 1);
  put_u8(out, 0);
  put_bytes(out, payload);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) put_bytes(out, p);
  return out;
}

struct AssemblyCase {
  const char* name;
  Bytes stream;
  size_t chunk;  // feed size; 1 means byte by byte
  std::vector<Bytes> expected;
};

TEST(WirePacket, MessagesReassembleFromAnyChunking) {
  const Bytes a = {1, 2, 3};
  const Bytes b = {4, 5};
  const std::vector<AssemblyCase> cases = {
      {"one packet, one read", Packet(packet::kSqlBatch, packet::kStatusEom, a), 1000, {a}},
      {"one packet, byte by byte", Packet(packet::kSqlBatch, packet::kStatusEom, a), 1, {a}},
      {"two packets of one message",
       Concat({Packet(packet::kSqlBatch, 0, a), Packet(packet::kSqlBatch, packet::kStatusEom, b)}),
       3,
       {Concat({a, b})}},
      {"an ignored message is dropped",
       Concat({Packet(packet::kSqlBatch, 0, a),
               Packet(packet::kSqlBatch, packet::kStatusEom | packet::kStatusIgnore, b),
               Packet(packet::kRpc, packet::kStatusEom, b)}),
       5,
       {b}},
      {"two messages in one read",
       Concat({Packet(packet::kSqlBatch, packet::kStatusEom, a),
               Packet(packet::kRpc, packet::kStatusEom, b)}),
       1000,
       {a, b}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MessageAssembler assembler;
    std::vector<Bytes> got;
    for (size_t pos = 0; pos < c.stream.size(); pos += c.chunk) {
      size_t n = std::min(c.chunk, c.stream.size() - pos);
      assembler.Feed(std::span<const uint8_t>(c.stream).subspan(pos, n));
      while (auto m = assembler.Next()) got.push_back(m->payload);
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_FALSE(assembler.HasPartial());
  }
}

TEST(WirePacket, ImpossibleHeadersAreRejected) {
  struct Case {
    const char* name;
    Bytes stream;
  };
  const std::vector<Case> cases = {
      {"length below the header size", {0x01, 0x01, 0x00, 0x04, 0, 0, 1, 0}},
      {"length above the largest packet", {0x01, 0x01, 0xFF, 0xFF, 0, 0, 1, 0}},
      {"type changes inside a message", Concat({Packet(packet::kSqlBatch, 0, {1, 2}),
                                                Packet(packet::kRpc, packet::kStatusEom, {3})})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MessageAssembler assembler;
    assembler.Feed(c.stream);
    EXPECT_THROW(while (assembler.Next()){}, WireError);
  }
}

TEST(WirePacket, FramedRepliesSplitAtThePacketSizeAndReassemble) {
  for (size_t payloadSize : {0u, 1u, 4088u, 4089u, 10000u}) {
    SCOPED_TRACE(payloadSize);
    Bytes payload(payloadSize);
    for (size_t i = 0; i < payloadSize; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    Bytes frame = FrameMessage(packet::kReply, payload, 4096, 51);
    MessageAssembler assembler;
    assembler.Feed(frame);
    auto m = assembler.Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload, payload);
    EXPECT_EQ(frame.size(), payload.size() + 8 * std::max<size_t>(1, (payloadSize + 4087) / 4088));
  }
}

TEST(WirePacket, ReaderNeverReadsPastTheEnd) {
  const Bytes three = {1, 2, 3};
  using Read = void (*)(ByteReader&);
  const std::vector<std::pair<const char*, Read>> reads = {
      {"u32le", [](ByteReader& r) { r.u32le(); }},
      {"u64le", [](ByteReader& r) { r.u64le(); }},
      {"bytes(4)", [](ByteReader& r) { r.bytes(4); }},
      {"ucs2(2)", [](ByteReader& r) { r.ucs2(2); }},
      {"bVarchar with count 1",
       [](ByteReader& r) {
         r.u16le();
         r.bVarchar();
       }},
  };
  for (const auto& [name, read] : reads) {
    SCOPED_TRACE(name);
    ByteReader r(three);
    EXPECT_THROW(read(r), WireError);
  }
}

TEST(WireLogin7, RoundTripsAndEveryTruncationIsRejected) {
  Login7 login;
  login.tdsVersion = 0x74000004;
  login.packetSize = 4096;
  login.hostName = "host";
  login.userName = "cardsync";
  login.password = "Pa55-密码";
  login.appName = "test";
  login.serverName = "127.0.0.1";
  login.library = "ODBC";
  login.language = "";
  login.database = "reporting";
  Bytes payload = BuildLogin7(login);
  Login7 parsed = ParseLogin7(payload);
  EXPECT_EQ(parsed.tdsVersion, login.tdsVersion);
  EXPECT_EQ(parsed.packetSize, login.packetSize);
  EXPECT_EQ(parsed.userName, login.userName);
  EXPECT_EQ(parsed.password, login.password);
  EXPECT_EQ(parsed.database, login.database);
  EXPECT_EQ(parsed.library, login.library);
  for (size_t cut = 0; cut < payload.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_THROW(ParseLogin7(std::span<const uint8_t>(payload).first(cut)), WireError);
  }
}

// An RPC payload with empty ALL_HEADERS, one call by name and the given
// parameters (each: name, status, TYPE_INFO and value bytes).
Bytes RpcPayload(std::string_view proc, const std::vector<Bytes>& params) {
  Bytes out;
  put_u32le(out, 4);
  put_u16le(out, static_cast<uint16_t>(Utf8ToUtf16(proc).size()));
  put_ucs2(out, proc);
  put_u16le(out, 0);
  for (const auto& p : params) put_bytes(out, p);
  return out;
}

Bytes Param(std::string_view name, const Bytes& typeAndValue) {
  Bytes out;
  put_b_varchar(out, name);
  put_u8(out, 0);
  put_bytes(out, typeAndValue);
  return out;
}

Bytes Collated(uint8_t type, uint16_t maxLen, const Bytes& value) {
  Bytes out = {type};
  put_u16le(out, maxLen);
  put_bytes(out, std::span<const uint8_t>(kCollation, 5));
  put_u16le(out, static_cast<uint16_t>(value.size()));
  put_bytes(out, value);
  return out;
}

struct ParamCase {
  const char* name;
  Bytes typeAndValue;
  SqlType type;
  std::string literal;
};

std::vector<ParamCase> ParamCases() {
  Bytes plp = {type::kNVarChar, 0xFF, 0xFF};
  put_bytes(plp, std::span<const uint8_t>(kCollation, 5));
  Bytes text = Utf8ToUtf16le("长文本");
  put_u64le(plp, text.size());
  put_u32le(plp, 2);
  put_bytes(plp, std::span<const uint8_t>(text).first(2));
  put_u32le(plp, static_cast<uint32_t>(text.size() - 2));
  put_bytes(plp, std::span<const uint8_t>(text).subspan(2));
  put_u32le(plp, 0);
  Bytes plpNull = {type::kBigVarChar, 0xFF, 0xFF};
  put_bytes(plpNull, std::span<const uint8_t>(kCollation, 5));
  put_u64le(plpNull, ~0ull);
  return {
      {"nvarchar", Collated(type::kNVarChar, 40, Utf8ToUtf16le("浙K123")), SqlType::NVarChar,
       "N'浙K123'"},
      {"varchar in GBK", Collated(type::kBigVarChar, 20, {0xD5, 0xE3, 'K', '1'}), SqlType::VarChar,
       "'浙K1'"},
      {"char", Collated(type::kBigChar, 2, {'a', 'b'}), SqlType::Char, "'ab'"},
      {"varchar NULL", Collated(type::kBigVarChar, 20, {}), SqlType::VarChar, "''"},
      {"int", {type::kIntN, 4, 4, 0xFE, 0xFF, 0xFF, 0xFF}, SqlType::Int, "-2"},
      {"bigint",
       {type::kIntN, 8, 8, 0, 0xE4, 0x0B, 0x54, 0x02, 0, 0, 0},
       SqlType::BigInt,
       "10000000000"},
      {"tinyint is unsigned", {type::kIntN, 1, 1, 200}, SqlType::TinyInt, "200"},
      {"int NULL", {type::kIntN, 4, 0}, SqlType::Int, "NULL"},
      {"bit", {type::kBitN, 1, 1, 1}, SqlType::Bit, "1"},
      {"float", {type::kFltN, 8, 8, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, SqlType::Float, "1.5"},
      {"decimal(10,2)",
       {type::kDecimalN, 9, 10, 2, 5, 1, 0x87, 0xD6, 0x12, 0x00},
       SqlType::Decimal,
       "12345.67"},
      {"negative numeric(5,0)",
       {type::kNumericN, 5, 5, 0, 5, 0, 42, 0, 0, 0},
       SqlType::Decimal,
       "-42"},
      {"money",
       {type::kMoneyN, 8, 8, 0, 0, 0, 0, 0x08, 0x63, 0x12, 0x00},
       SqlType::Money,
       "120.5000"},
      {"datetime",
       {type::kDateTimeN, 8, 8, 0x00, 0xB4, 0, 0, 0x1E, 0x5B, 0x86, 0},
       SqlType::DateTime,
       "'2026-03-01 08:09:10.500'"},
      {"smalldatetime at its first minute",
       {type::kDateTimeN, 4, 4, 0, 0, 0, 0},
       SqlType::SmallDateTime,
       "'1900-01-01 00:00:00.000'"},
      {"smalldatetime at its last minute",
       {type::kDateTimeN, 4, 4, 0xFF, 0xFF, 0x9F, 0x05},
       SqlType::SmallDateTime,
       "'2079-06-06 23:59:00.000'"},
      {"date", {type::kDateN, 3, 0x5B, 0x49, 0x0B}, SqlType::Date, "'2026-03-01'"},
      {"varbinary", {type::kBigVarBinary, 10, 0, 2, 0, 'h', 'i'}, SqlType::VarChar, "'hi'"},
      {"nvarchar(max) in chunks", plp, SqlType::NVarChar, "N'长文本'"},
      {"varchar(max) NULL", plpNull, SqlType::VarChar, "NULL"},
  };
}

TEST(WireRpc, ParametersOfEveryTypeDecodeToEngineValues) {
  for (const auto& c : ParamCases()) {
    SCOPED_TRACE(c.name);
    auto calls = ParseRpc(RpcPayload("sp_executesql", {Param("@P1", c.typeAndValue)}));
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].params.size(), 1u);
    const auto& p = calls[0].params[0].param;
    EXPECT_EQ(p.name, "@P1");
    EXPECT_EQ(p.type, c.type);
    EXPECT_EQ(ParamLiteral(p), c.literal);
  }
}

TEST(WireRpc, EveryTruncationOfACallIsRejected) {
  std::vector<Bytes> params;
  for (const auto& c : ParamCases()) params.push_back(Param("@x", c.typeAndValue));
  Bytes payload = RpcPayload("sp_executesql", params);
  ASSERT_EQ(ParseRpc(payload)[0].params.size(), params.size());
  for (size_t cut = 1; cut < payload.size(); ++cut) {
    SCOPED_TRACE(cut);
    try {
      auto calls = ParseRpc(std::span<const uint8_t>(payload).first(cut));
      // A cut exactly between parameters is a shorter, valid call.
      EXPECT_LT(calls[0].params.size(), params.size());
    } catch (const WireError&) {
    }
  }
}

TEST(WireRpc, TimesOfDayPastTheDayEndTheParse) {
  struct Case {
    const char* name;
    Bytes typeAndValue;
  };
  const std::vector<Case> cases = {
      // 65535 minutes times 60 000 ms is past int32.
      {"smalldatetime of 65535 minutes", {type::kDateTimeN, 4, 4, 0, 0, 0xFF, 0xFF}},
      // Ticks whose milliseconds wrap round 2^32 to just after midnight.
      {"datetime of 0x4CCCCCCD ticks",
       {type::kDateTimeN, 8, 8, 0, 0, 0, 0, 0xCD, 0xCC, 0xCC, 0x4C}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(ParseRpc(RpcPayload("sp_executesql", {Param("@P1", c.typeAndValue)})), WireError);
  }
}

TEST(WireRpc, UnknownParameterTypeIsAnErrorNotADisconnect) {
  EXPECT_THROW(ParseRpc(RpcPayload("sp_executesql", {Param("@g", {0xF1, 0, 0})})),
               UnsupportedRequest);
}

TEST(WireRpc, ParametersPastTheirTypesLimitsAreRefusedWithSqlServersError) {
  struct Case {
    const char* name;
    Bytes typeAndValue;
  };
  const std::vector<Case> cases = {
      {"nvarchar declared past 4 000 characters",
       Collated(type::kNVarChar, 8002, Utf8ToUtf16le("x"))},
      {"varchar declared past 8 000 bytes", Collated(type::kBigVarChar, 8001, {'x'})},
      {"a value longer than its declared nvarchar(2)",
       Collated(type::kNVarChar, 4, Utf8ToUtf16le("xyz"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ParseRpc(RpcPayload("sp_executesql", {Param("@P1", c.typeAndValue)}));
      ADD_FAILURE() << "accepted";
    } catch (const RefusedRequest& e) {
      EXPECT_EQ(e.message.number, 8016);
      EXPECT_NE(e.message.text.find("(\"@P1\"): Data type 0x"), std::string::npos)
          << e.message.text;
    }
  }
  EXPECT_NO_THROW(
      ParseRpc(RpcPayload("sp_executesql", {Param("@P1", Collated(type::kNVarChar, 8000, {}))})));
}

TEST(WireRpc, DeclaredParameterNames) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"@P1 VARCHAR(2)", {"@P1"}},
      {"@P1 VARCHAR(7),@P2 VARCHAR(1),@P3 VARCHAR(2)", {"@P1", "@P2", "@P3"}},
      {" @a decimal(10,2) , @b int OUTPUT", {"@a", "@b"}},
      {"", {}},
  };
  for (const auto& [declaration, names] : cases) {
    SCOPED_TRACE(declaration);
    EXPECT_EQ(DeclaredParamNames(declaration), names);
  }
}

TEST(WireText, GbkRoundTripAndReplacement) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"浙K123", "\xD5\xE3K123"}, {"abc", "abc"}, {"😀x", "?x"},  // no GBK form
  };
  for (const auto& [utf8, gbk] : cases) {
    SCOPED_TRACE(utf8);
    EXPECT_EQ(Utf8ToGbk(utf8), gbk);
    if (gbk.find('?') == std::string::npos) {
      EXPECT_EQ(GbkToUtf8(gbk), utf8);
    }
  }
}

}  // namespace
}  // namespace standin::tds
