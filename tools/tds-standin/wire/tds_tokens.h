// Writers for the server's tokens: one function per token kind, each
// appending to a reply payload. The engine's typed columns and values are
// mapped to TDS types here, and nowhere else.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine.h"
#include "tds_buffer.h"

namespace standin::tds {

namespace token {
constexpr uint8_t kColMetadata = 0x81;
constexpr uint8_t kRow = 0xD1;
constexpr uint8_t kReturnStatus = 0x79;
constexpr uint8_t kReturnValue = 0xAC;
constexpr uint8_t kError = 0xAA;
constexpr uint8_t kInfo = 0xAB;
constexpr uint8_t kLoginAck = 0xAD;
constexpr uint8_t kEnvChange = 0xE3;
constexpr uint8_t kDone = 0xFD;
constexpr uint8_t kDoneProc = 0xFE;
constexpr uint8_t kDoneInProc = 0xFF;
}  // namespace token

namespace done {
constexpr uint16_t kFinal = 0x00;
constexpr uint16_t kMore = 0x01;
constexpr uint16_t kError = 0x02;
constexpr uint16_t kInXact = 0x04;
constexpr uint16_t kCount = 0x10;
constexpr uint16_t kAttention = 0x20;
}  // namespace done

// DONE's CurCmd: the kind of statement the DONE closes.
namespace curcmd {
constexpr uint16_t kSelect = 0xC1;
}  // namespace curcmd

namespace envchange {
constexpr uint8_t kDatabase = 1;
constexpr uint8_t kLanguage = 2;
constexpr uint8_t kPacketSize = 4;
constexpr uint8_t kCollation = 7;
constexpr uint8_t kBeginTransaction = 8;
constexpr uint8_t kCommitTransaction = 9;
constexpr uint8_t kRollbackTransaction = 10;
}  // namespace envchange

// TDS type codes that travel in TYPE_INFO, both ways.
namespace type {
constexpr uint8_t kInt1 = 0x30;
constexpr uint8_t kBit = 0x32;
constexpr uint8_t kInt2 = 0x34;
constexpr uint8_t kInt4 = 0x38;
constexpr uint8_t kDateTim4 = 0x3A;
constexpr uint8_t kFlt4 = 0x3B;
constexpr uint8_t kMoney = 0x3C;
constexpr uint8_t kDateTime = 0x3D;
constexpr uint8_t kFlt8 = 0x3E;
constexpr uint8_t kMoney4 = 0x7A;
constexpr uint8_t kInt8 = 0x7F;
constexpr uint8_t kGuid = 0x24;
constexpr uint8_t kIntN = 0x26;
constexpr uint8_t kDateN = 0x28;
constexpr uint8_t kTimeN = 0x29;
constexpr uint8_t kDateTime2N = 0x2A;
constexpr uint8_t kDateTimeOffsetN = 0x2B;
constexpr uint8_t kDecimal = 0x37;
constexpr uint8_t kNumeric = 0x3F;
constexpr uint8_t kBitN = 0x68;
constexpr uint8_t kDecimalN = 0x6A;
constexpr uint8_t kNumericN = 0x6C;
constexpr uint8_t kFltN = 0x6D;
constexpr uint8_t kMoneyN = 0x6E;
constexpr uint8_t kDateTimeN = 0x6F;
constexpr uint8_t kText = 0x23;
constexpr uint8_t kImage = 0x22;
constexpr uint8_t kNText = 0x63;
constexpr uint8_t kBigVarBinary = 0xA5;
constexpr uint8_t kBigVarChar = 0xA7;
constexpr uint8_t kBigBinary = 0xAD;
constexpr uint8_t kBigChar = 0xAF;
constexpr uint8_t kNVarChar = 0xE7;
constexpr uint8_t kNChar = 0xEF;
}  // namespace type

// Chinese_PRC_CI_AS: LCID 0x0804 with case-, kana- and width-insensitive
// flags. Clients read char/varchar bytes in code page 936 because of it.
inline constexpr uint8_t kCollation[5] = {0x04, 0x08, 0xD0, 0x00, 0x00};

// Days from 0001-01-01 (DATEN's origin) to 1900-01-01 (the engine's).
constexpr int32_t kDaysFrom0001To1900 = 693595;

struct ServerInfo {
  std::string serverName = "standin";
};

void WriteDone(Bytes& out, uint8_t kind, uint16_t status, uint16_t curCmd, uint64_t rowCount);
void WriteMessage(Bytes& out, bool isError, const ServerMessage& msg, const ServerInfo& server);
void WriteEnvChange(Bytes& out, uint8_t kind, std::string_view newValue, std::string_view oldValue);
void WriteEnvChangeBytes(Bytes& out, uint8_t kind, std::span<const uint8_t> newValue,
                         std::span<const uint8_t> oldValue);
void WriteLoginAck(Bytes& out, uint32_t tdsVersion);
void WriteReturnStatus(Bytes& out, int32_t status);
// An int OUTPUT parameter's value, as sp_prepare returns its handle.
void WriteReturnValueInt(Bytes& out, uint16_t ordinal, std::string_view name, int32_t value);

// A result column as it goes on the wire. Character columns of unknown
// length are sized from the rows they carry, and become (max) types only
// when a value is too long for the ordinary ones.
struct WireColumn {
  Column column;
  uint8_t tdsType = 0;
  uint32_t maxLength = 0;  // bytes; 0xFFFF marks a (max) type
  bool plp = false;
};

std::vector<WireColumn> DescribeColumns(const std::vector<Column>& columns,
                                        const std::vector<std::vector<Value>>& rows);
void WriteColMetadata(Bytes& out, const std::vector<WireColumn>& columns);
// Throws std::runtime_error when the row does not fit the columns.
void WriteRow(Bytes& out, const std::vector<WireColumn>& columns, const std::vector<Value>& row);

}  // namespace standin::tds
