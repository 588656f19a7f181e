// Readers for the client's requests after login: SQL batches, RPC calls with
// their typed parameters, and transaction-manager requests. Parameters are
// turned into the engine's Param form here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine.h"
#include "tds_buffer.h"

namespace standin::tds {

// A well-formed request this server cannot serve (an unknown parameter
// type, say). The client gets an error and the connection stays up.
class UnsupportedRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request SQL Server refuses with an error of its own (too many
// parameters, a parameter longer than its type allows). The client gets
// `message` and the connection stays up.
class RefusedRequest : public UnsupportedRequest {
 public:
  explicit RefusedRequest(ServerMessage m) : UnsupportedRequest(m.text), message(std::move(m)) {}
  ServerMessage message;
};

// SQL Server's limit on one call's parameters, sp_executesql's own two included.
constexpr size_t kMaxRpcParams = 2100;

struct AllHeaders {
  uint64_t transactionDescriptor = 0;
};

// Reads ALL_HEADERS at the start of a batch, RPC or TM request.
AllHeaders ReadAllHeaders(ByteReader& r);

std::string ParseSqlBatch(std::span<const uint8_t> payload);

// Well-known procedures that clients call by number instead of by name.
namespace procid {
constexpr uint16_t kExecuteSql = 10;
constexpr uint16_t kPrepare = 11;
constexpr uint16_t kExecute = 12;
constexpr uint16_t kPrepExec = 13;
constexpr uint16_t kUnprepare = 15;
}  // namespace procid

struct RpcParam {
  std::string name;  // as sent, "" for positional ones
  bool output = false;
  Param param;  // name, engine type and value
};

struct RpcCall {
  std::string procName;  // from the id when called by number ("sp_executesql")
  std::vector<RpcParam> params;
};

// One RPC message may carry several calls separated by a batch flag.
std::vector<RpcCall> ParseRpc(std::span<const uint8_t> payload);

struct TmRequest {
  enum class Kind { Begin, Commit, Rollback, Other };
  Kind kind = Kind::Other;
  uint16_t requestType = 0;
  bool beginAfter = false;  // commit/rollback that opens the next transaction at once
};

TmRequest ParseTransactionManager(std::span<const uint8_t> payload);

// Parameter names of an sp_executesql/sp_prepare declaration such as
// "@P1 int,@P2 decimal(10,2) OUTPUT", in order.
std::vector<std::string> DeclaredParamNames(std::string_view declaration);

// True for a parameter of a character type, as a statement text or a
// declaration must be.
bool IsTextParam(const RpcParam& p);

// The values of a call's parameters from `first` on, for the engine. Ones the
// client sent by position are named from the declaration (names), or @Pn.
std::vector<Param> CallValues(const std::vector<RpcParam>& params, size_t first,
                              const std::vector<std::string>& names);

// A parameter value written as a literal, for the event log.
std::string ParamLiteral(const Param& p);

}  // namespace standin::tds
