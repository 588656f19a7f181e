// How a batch runs: its statements in order, BEGIN ... END blocks and IF
// branches, and the first error ending the batch, as SQL Server does. Each
// statement goes to its handler or, translated, to SQLite.
#include <algorithm>
#include <atomic>
#include <memory>

#include "engine_session.h"
#include "sql_assign.h"
#include "sql_catalog.h"
#include "sqlite_run.h"
#include "text_case.h"

namespace standin {
namespace {

constexpr int kFirstSpid = 51;

std::atomic<int> gNextSpid{kFirstSpid};

// BEGIN opens a block unless it is BEGIN TRAN[SACTION].
bool IsBlockBegin(const std::vector<Token>& s) {
  return s.front().Is("begin") && !(s.size() > 1 && (s[1].Is("tran") || s[1].Is("transaction")));
}

// Whether an error ends only its statement when XACT_ABORT is off, as SQL
// Server's constraint, truncation, arithmetic, lock and permission errors do;
// conversion, name and syntax errors end the batch.
bool EndsOnlyItsStatement(int number) {
  static constexpr int kStatementErrors[] = {229,  515,  547,  1222, 2601, 2627, 2628, 2714,
                                             2812, 3701, 3902, 3903, 8115, 8134, 8146, 8152};
  return std::find(std::begin(kStatementErrors), std::end(kStatementErrors), number) !=
         std::end(kStatementErrors);
}

bool IsBareCall(const std::vector<Token>& stmt) {
  static const char* kNotCalls[] = {
      "select",   "insert",   "update", "delete",  "create", "drop",  "alter", "set",     "begin",
      "commit",   "rollback", "exec",   "execute", "if",     "else",  "print", "declare", "use",
      "truncate", "end",      "save",   "return",  "with",   "merge", "grant", "while"};
  const Token& t = stmt.front();
  if (t.kind != Token::Word && t.kind != Token::QuotedName) return false;
  for (const char* w : kNotCalls)
    if (t.Is(w)) return false;
  return true;
}

}  // namespace

SqliteSession::SqliteSession(sqlite3* db, std::optional<DateTime> fixedNow,
                             std::shared_ptr<LockManager> locks, int lockTimeoutMs)
    : db_(db), locks_(std::move(locks)), lockTimeoutMs_(lockTimeoutMs) {
  ctx_.fixedNow = fixedNow;
  ctx_.spid = gNextSpid++;
  ctx_.rowCount = &sys_.rowCount;
  sys_.spid = ctx_.spid;
  RegisterFunctions(db_, &ctx_);
  RegisterCatalogFunctions(db_);
  denials_ = ReadDenials(db_);
  EnforceDenials(db_, &denials_);
}

SqliteSession::~SqliteSession() {
  cache_.Clear();
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db_);
  ReleaseLocks();
}

BatchOutput SqliteSession::Execute(std::string_view sql, const std::vector<Param>& params) {
  BatchOutput out;
  params_ = &params;
  batch_ = &out;
  // The plan stays alive for the batch even if a nested run drops it.
  if (auto it = plans_.find(std::string(sql)); it != plans_.end()) {
    it->second.lastUse = ++planClock_;
    plan_ = it->second.plan;
    if (!plan_->scope) plan_->scope = ScanScope(plan_->stmts);
    Run(*plan_, sql, out);
    plan_.reset();
    return out;
  }
  plan_.reset();
  bool unterminated = false;
  std::vector<Token> tokens = Tokenize(sql, &unterminated);
  if (unterminated) {
    StatementOutput so;
    bool quote = !tokens.empty() &&
                 (tokens.back().kind == Token::String || tokens.back().kind == Token::QuotedName);
    if (quote) {
      so.error = MakeMessage(
          105, 15, 1,
          "Unclosed quotation mark after the character string '" + tokens.back().text + "'.");
      so.error->line = tokens.back().line;
    } else {
      so.error = MakeMessage(113, 15, 1, "Missing end comment mark '*/'.");
    }
    out.statements.push_back(std::move(so));
    return out;
  }
  plan_ = std::make_shared<BatchPlan>();
  plan_->stmts = SplitStatements(tokens);
  plan_->translated.resize(plan_->stmts.size());
  plan_->scope = ScanScope(plan_->stmts);
  if (sql.size() <= kMaxPlannedBatch && seenBatches_.Repeated(sql))
    KeepPlan(std::string(sql), plan_);
  Run(*plan_, sql, out);
  plan_.reset();
  return out;
}

void SqliteSession::Run(const BatchPlan& plan, std::string_view sql, BatchOutput& out) {
  const StatementList& stmts = plan.stmts;
  // The batch's variables live as long as it runs.
  locals_.clear();
  aborted_ = returning_ = false;
  struct EndScope {
    SqliteSession& session;
    ~EndScope() {
      session.locals_.clear();
      session.EndStatementLocks();
    }
  } endScope{*this};
  if (!OpenScope(*plan.scope, 0)) return;
  size_t first = 0;
  if (!stmts.empty() && IsBareCall(stmts.front())) {
    // A batch that is only a procedure's name calls it.
    CallProcedure(stmts.front(), 0, 0);
    EndStatementLocks();
    if (stmts.size() == 1 || aborted_) return;
    first = 1;
  }
  RunList(stmts, first, stmts.size(), 0, std::string(sql));
  (void)out;
}

void SqliteSession::KeepPlan(std::string sql, std::shared_ptr<BatchPlan> plan) {
  if (plans_.size() >= kMaxPlans) {
    auto oldest = std::min_element(plans_.begin(), plans_.end(), [](const auto& a, const auto& b) {
      return a.second.lastUse < b.second.lastUse;
    });
    plans_.erase(oldest);
  }
  plans_[std::move(sql)] = KeptPlan{std::move(plan), ++planClock_};
}

// Runs statements [from, to) of a list. A statement's error ends only that
// statement unless it ends the batch (see Fail); RETURN ends the list.
// Returns false when anything in it failed or returned.
bool SqliteSession::RunList(const StatementList& stmts, size_t from, size_t to, int depth,
                            const std::string& source) {
  bool clean = true;
  size_t i = from;
  while (i < to) {
    size_t next = i + 1;
    bool ok = RunOne(stmts, i, to, depth, source, next);
    EndStatementLocks();
    clean = clean && ok;
    if (!ok && (aborted_ || returning_)) return false;
    i = std::max(next, i + 1);
  }
  return clean;
}

// The index after the statement at i (a block, or an IF with its branches).
size_t SqliteSession::Skip(const StatementList& stmts, size_t i, size_t to) {
  if (i >= to) return to;
  const auto& s = stmts[i];
  if (IsBlockBegin(s)) {
    int level = 0;
    for (size_t j = i; j < to; ++j) {
      const auto& t = stmts[j];
      if (IsBlockBegin(t)) ++level;
      if (t.front().Is("end") && --level == 0) return j + 1;
    }
    return to;
  }
  if (s.front().Is("if")) {
    size_t after = Skip(stmts, i + 1, to);
    if (after < to && stmts[after].size() == 1 && stmts[after].front().Is("else"))
      after = Skip(stmts, after + 1, to);
    return after;
  }
  return i + 1;
}

StatementOutput& SqliteSession::Emit(int depth) {
  batch_->statements.emplace_back();
  batch_->statements.back().inProc = depth > 0;
  return batch_->statements.back();
}

bool SqliteSession::Fail(ServerMessage m, int depth, int line) {
  if (m.number == kCancelledNumber) {
    // A cancel ends the batch without an error; under XACT_ABORT it also
    // rolls the transaction back.
    batch_->cancelled = true;
    aborted_ = true;
    if (xactAbort_ && tranCount_ > 0) Rollback();
    return false;
  }
  if (m.line <= 1) m.line = line;
  if (depth > 0) m.procName = procStack_.back();
  sys_.error = m.number;
  const int number = m.number;
  StatementOutput& so = Emit(depth);
  so.error = std::move(m);
  SyncTransaction();
  // Under XACT_ABORT an error dooms the whole transaction, not just its
  // statement; a deadlock's victim loses its transaction either way.
  if ((xactAbort_ || number == 1205) && tranCount_ > 0) Rollback();
  if (xactAbort_ || !EndsOnlyItsStatement(number)) aborted_ = true;
  return false;
}

bool SqliteSession::RunOne(const StatementList& stmts, size_t i, size_t to, int depth,
                           const std::string& source, size_t& next) {
  const std::vector<Token>& s = stmts[i];
  const Token& head = s.front();
  int line = head.line;
  next = i + 1;
  if (IsBlockBegin(s)) {
    if (s.size() > 1) return Fail(SyntaxError(s, 1), depth, line);
    size_t end = Skip(stmts, i, to);
    next = end;
    if (end == to && !(end > i + 1 && stmts[end - 1].front().Is("end")))
      return Fail(SyntaxError(stmts[end - 1], stmts[end - 1].size()), depth, line);
    return RunList(stmts, i + 1, end - 1, depth, source);
  }
  if (head.Is("if")) {
    if (i + 1 >= to) return Fail(SyntaxError(s, s.size()), depth, line);
    size_t bodyEnd = Skip(stmts, i + 1, to);
    size_t elseEnd = bodyEnd;
    bool hasElse = bodyEnd < to && stmts[bodyEnd].size() == 1 && stmts[bodyEnd].front().Is("else");
    if (hasElse) elseEnd = Skip(stmts, bodyEnd + 1, to);
    next = elseEnd;
    std::optional<bool> cond = Evaluate(s, depth);
    if (!cond) return false;
    if (*cond) return RunList(stmts, i + 1, bodyEnd, depth, source);
    if (hasElse) return RunList(stmts, bodyEnd + 1, elseEnd, depth, source);
    return true;
  }
  if (head.Is("return")) {
    next = to;
    returning_ = true;
    return false;
  }
  if (head.Is("create") || head.Is("alter")) {
    size_t k = 1;
    if (k + 1 < s.size() && s[k].Is("or") && s[k + 1].Is("alter")) k += 2;
    if (k < s.size() && (s[k].Is("procedure") || s[k].Is("proc")))
      return CreateProcedure(s, k + 1, !(head.Is("create") && k == 1), depth, source);
    if (head.Is("create") && k < s.size() && s[k].Is("table")) return CreateTable(s, depth);
  }
  if (head.Is("exec") || head.Is("execute")) {
    size_t k = 1;
    if (k + 1 < s.size() && s[k].kind == Token::Variable && s[k + 1].Is("=")) k += 2;  // @rc =
    if (k >= s.size()) return Fail(SyntaxError(s, k), depth, line);
    return CallProcedure(s, k, depth);
  }
  if (head.Is("declare")) return Declare(s, depth);
  if (head.Is("set") && s.size() > 1 && s[1].kind == Token::Variable) return SetVariable(s, depth);
  if (head.Is("set")) return SetOption(s, depth);
  if (head.Is("select") && AssignsVariables(s)) return SelectIntoVariables(s, depth);
  if (head.Is("begin") || head.Is("commit") || head.Is("rollback") || head.Is("save"))
    return TransactionStatement(s, depth);
  if (head.Is("print")) return Print(s, depth);
  if (head.Is("use")) return Use(s, depth);
  if (head.Is("drop") && s.size() > 2 && (s[1].Is("procedure") || s[1].Is("proc")))
    return DropProcedureStatement(s, depth);
  if (head.Is("select") || head.Is("insert") || head.Is("update") || head.Is("delete") ||
      head.Is("with") || head.Is("drop") || head.Is("truncate") || head.Is("create") ||
      head.Is("alter")) {
    return RunStatement(s, depth);
  }
  if (head.Is("end") || head.Is("else")) return Fail(SyntaxError(s, 0), depth, line);
  return Fail(SyntaxError(s, head.kind == Token::Word && s.size() > 1 ? 1 : 0), depth, line);
}

StatementOutput SqliteSession::RunSql(const std::vector<Token>& stmt, const std::string& sql,
                                      const Translated& t, bool probe,
                                      std::vector<std::vector<Scalar>>* raw) {
  if (std::optional<ServerMessage> refused = TakeLocks(stmt)) {
    StatementOutput so;
    so.error = std::move(refused);
    return so;
  }
  return standin::RunSql(db_, &cache_, ctx_, Bindings{*params_, &locals_}, stmt, sql, t, probe,
                         raw);
}

SystemValues SqliteSession::Sys() {
  sys_.tranCount = tranCount_;
  sys_.lockTimeoutMs = lockTimeoutMs_;
  return sys_;
}

std::optional<bool> SqliteSession::Evaluate(const std::vector<Token>& s, int depth) {
  TypeScope scope = ScopeFor(s);
  Translated t = TranslateTokens(s, 1, s.size(), Sys(), &scope);
  if (t.error) {
    Fail(*t.error, depth, s.front().line);
    return std::nullopt;
  }
  StatementOutput probe = RunSql(s, "SELECT CASE WHEN " + t.sql + " THEN 1 ELSE 0 END", t, true);
  if (probe.error) {
    Fail(*probe.error, depth, s.front().line);
    return std::nullopt;
  }
  return !probe.rows.empty() && probe.rows[0][0].i == 1;
}

int64_t SqliteSession::SchemaVersion() {
  static const std::string kSql = "PRAGMA schema_version";
  sqlite3_stmt* st = cache_.Take(kSql);
  if (!st && sqlite3_prepare_v3(db_, kSql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) !=
                 SQLITE_OK) {
    sqlite3_finalize(st);
    return -1;
  }
  int64_t version = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
  cache_.Put(kSql, st);
  return version;
}

// The translation kept for statement s of the running batch, when s is one of
// its statements and the schema is still the one it was made for.
const Translated* SqliteSession::KeptTranslation(const std::vector<Token>& s, int64_t& version,
                                                 size_t& index) {
  index = static_cast<size_t>(-1);
  if (!plan_ || plan_->stmts.empty() || &s < plan_->stmts.data() ||
      &s >= plan_->stmts.data() + plan_->stmts.size())
    return nullptr;
  index = static_cast<size_t>(&s - plan_->stmts.data());
  version = SchemaVersion();
  const auto& kept = plan_->translated[index];
  return kept && version >= 0 && kept->first == version ? &kept->second : nullptr;
}

bool SqliteSession::RunStatement(const std::vector<Token>& s, int depth) {
  const Token& head = s.front();
  int64_t version = -1;
  size_t index = 0;
  const Translated* kept = KeptTranslation(s, version, index);
  Translated fresh;
  if (!kept) {
    std::vector<Token> tokens = s;
    if (head.Is("truncate") && s.size() > 1 && s[1].Is("table")) {
      tokens[0].text = "DELETE";
      tokens[1].text = "FROM";
    }
    if (head.Is("insert") || head.Is("update"))
      tokens = ConvertAssignedValues(db_, &cache_, tokens);
    TypeScope scope = ScopeFor(tokens);
    fresh = TranslateTokens(tokens, 0, tokens.size(), Sys(), &scope);
    if (fresh.error) return Fail(*fresh.error, depth, head.line);
    // @@ variables are written into the SQL as values, so such a statement
    // is translated each time; others keep theirs while the schema stands.
    // @@ROWCOUNT is read as the statement runs (ss_rowcount()): a chunk's
    // 200 "set @inserted = ... @@rowcount ..." keep one translation.
    bool system = std::any_of(s.begin(), s.end(), [](const Token& x) {
      return x.kind == Token::SystemVariable && Lower(x.text) != "@@rowcount";
    });
    if (plan_ && index < plan_->translated.size() && version >= 0 && !system) {
      plan_->translated[index].emplace(version, std::move(fresh));
      kept = &plan_->translated[index]->second;
    }
  }
  const Translated& t = kept ? *kept : fresh;
  bool data = !head.Is("select") ||
              std::any_of(s.begin(), s.end(), [](const Token& x) { return x.Is("from"); });
  if (implicitTransactions_ && tranCount_ == 0 && data) {
    if (auto err = Begin()) return Fail(*err, depth, head.line);
  }
  StatementOutput so = RunSql(s, t.sql, t, false);
  if (so.error) {
    if (head.Is("drop") && so.error->number == 208 && s.size() > 2) {
      std::string name;
      ReadObjectName(s, 2, name);
      so.error = MakeMessage(3701, 11, 5,
                             "Cannot drop the table '" + name +
                                 "', because it does not exist or you do not have permission.");
    }
    return Fail(*so.error, depth, head.line);
  }
  if (head.Is("drop") || head.Is("create") || head.Is("alter")) so.rowCount.reset();
  sys_.rowCount = so.rowCount.value_or(0);
  sys_.error = 0;
  if (nocount_) so.rowCount.reset();
  so.inProc = depth > 0;
  batch_->statements.push_back(std::move(so));
  return true;
}

}  // namespace standin
