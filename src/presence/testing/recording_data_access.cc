#include "presence/testing/recording_data_access.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "platform/code_page.h"
#include "qzpub_field.h"

namespace qz::presence {
namespace {

// One comparison of a condition: COLUMN op value.
struct Term {
  int column = 0;  // 0 for YH00 .. 8 for YH08
  std::string op;
  bool number = false;
  std::string text;  // code-page bytes, or the number's digits
};

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  bool AtEnd() {
    SkipBlanks();
    return pos_ == s_.size();
  }
  bool Keyword(std::string_view word) {
    SkipBlanks();
    if (s_.size() - pos_ < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(s_[pos_ + i])) != word[i]) return false;
    }
    const size_t end = pos_ + word.size();
    if (end < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[end])) || s_[end] == '_')) {
      return false;
    }
    pos_ = end;
    return true;
  }
  // Terms joined by And, up to the end of the text.
  std::optional<std::vector<Term>> Conjunction() {
    std::vector<Term> terms;
    if (AtEnd()) return terms;
    do {
      std::optional<Term> t = OneTerm();
      if (!t) return std::nullopt;
      terms.push_back(std::move(*t));
    } while (Keyword("and"));
    if (!AtEnd()) return std::nullopt;
    return terms;
  }

 private:
  void SkipBlanks() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  std::optional<Term> OneTerm() {
    SkipBlanks();
    Term t;
    if (s_.size() - pos_ < 4 || std::toupper(static_cast<unsigned char>(s_[pos_])) != 'Y' ||
        std::toupper(static_cast<unsigned char>(s_[pos_ + 1])) != 'H' || s_[pos_ + 2] != '0' ||
        s_[pos_ + 3] < '0' || s_[pos_ + 3] > '8') {
      return std::nullopt;
    }
    t.column = s_[pos_ + 3] - '0';
    pos_ += 4;
    SkipBlanks();
    for (std::string_view op : {"<=", ">=", "<>", "=", "<", ">"}) {
      if (s_.compare(pos_, op.size(), op) == 0) {
        t.op = std::string(op);
        pos_ += op.size();
        break;
      }
    }
    if (t.op.empty()) return std::nullopt;
    SkipBlanks();
    if (pos_ < s_.size() && s_[pos_] == '\'') {
      std::string utf8;
      for (++pos_;; ++pos_) {
        if (pos_ >= s_.size()) return std::nullopt;
        if (s_[pos_] == '\'') {
          if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '\'') {
            utf8 += '\'';
            ++pos_;
            continue;
          }
          ++pos_;
          break;
        }
        utf8 += s_[pos_];
      }
      t.text = platform::CodePage::System().FromUtf8(utf8);
      return t;
    }
    const size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    if (pos_ == start) return std::nullopt;
    t.number = true;
    t.text = std::string(s_.substr(start, pos_ - start));
    return t;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

// Column 1 .. 8 as the library reads it; YH00's digits for 0.
std::string ColumnText(const YHDLRecord& r, int column) {
  if (column < 1 || column > 8) return std::to_string(r.YH00);
  return std::string(qzpub::FieldText(r, static_cast<size_t>(column - 1)));
}

template <typename T>
bool Compare(const T& a, const std::string& op, const T& b) {
  if (op == "=") return a == b;
  if (op == "<") return a < b;
  if (op == ">") return a > b;
  if (op == "<=") return a <= b;
  if (op == ">=") return a >= b;
  return a != b;
}

bool Matches(const YHDLRecord& r, const std::vector<Term>& terms) {
  for (const Term& t : terms) {
    bool ok;
    if (t.column == 0) {
      ok = t.number ? Compare<long long>(r.YH00, t.op, std::stoll(t.text))
                    : Compare(ColumnText(r, 0), t.op, t.text);
    } else {
      ok = Compare(ColumnText(r, t.column), t.op, t.text);
    }
    if (!ok) return false;
  }
  return true;
}

YHDLRecord Zero() {
  YHDLRecord r;
  std::memset(&r, 0, sizeof r);
  return r;
}

}  // namespace

std::optional<Result<int32_t>> RecordingDataAccess::Record(const char* entry, int32_t handle,
                                                           std::string text,
                                                           const YHDLRecord* record) {
  Call call;
  call.entry = entry;
  call.handle = handle;
  call.text = std::move(text);
  call.record = record ? *record : Zero();
  calls_.push_back(std::move(call));
  auto failure = failures_.find(entry);
  if (failure != failures_.end()) return failure->second;
  auto library_failure = library_failures_.find(entry);
  if (library_failure != library_failures_.end()) return Failed(-1, library_failure->second);
  return std::nullopt;
}

int32_t RecordingDataAccess::ResultOf(const std::string& entry) {
  auto it = results_.find(entry);
  const int32_t result = it == results_.end() ? 1 : it->second;
  if (result < 0) return Failed(result, entry + " failed (scripted)");
  return result;
}

int32_t RecordingDataAccess::Failed(int32_t result, std::string words) {
  last_error_ = std::move(words);
  return result;
}

std::string RecordingDataAccess::LastError() {
  std::lock_guard lock(mu_);
  return last_error_;
}

std::vector<RecordingDataAccess::Call> RecordingDataAccess::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

std::vector<std::string> RecordingDataAccess::entries() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> names;
  for (const Call& c : calls_) names.push_back(c.entry);
  return names;
}

void RecordingDataAccess::ClearCalls() {
  std::lock_guard lock(mu_);
  calls_.clear();
}

std::vector<YHDLRecord> RecordingDataAccess::rows() const {
  std::lock_guard lock(mu_);
  std::vector<YHDLRecord> out;
  for (const auto& [key, row] : table_) out.push_back(row);
  return out;
}

int32_t RecordingDataAccess::AddRow(YHDLRecord row) {
  std::lock_guard lock(mu_);
  if (row.YH00 <= 0) row.YH00 = next_key_++;
  if (row.YH00 >= next_key_) next_key_ = row.YH00 + 1;
  table_[row.YH00] = row;
  return row.YH00;
}

void RecordingDataAccess::SetSysDate(std::optional<std::string> text) {
  std::lock_guard lock(mu_);
  sys_date_ = std::move(text);
}

void RecordingDataAccess::SetNextKey(int32_t key) {
  std::lock_guard lock(mu_);
  next_key_ = key;
}

void RecordingDataAccess::ScriptRows(std::vector<YHDLRecord> rows) {
  std::lock_guard lock(mu_);
  scripted_rows_ = std::move(rows);
}

void RecordingDataAccess::ClearScriptedRows() {
  std::lock_guard lock(mu_);
  scripted_rows_.reset();
}

void RecordingDataAccess::ScriptGetFirstResult(int32_t result) {
  std::lock_guard lock(mu_);
  get_first_result_ = result;
}

void RecordingDataAccess::ScriptGetNextEndResult(int32_t result) {
  std::lock_guard lock(mu_);
  get_next_end_result_ = result;
}

void RecordingDataAccess::ScriptResult(const std::string& entry, int32_t result) {
  std::lock_guard lock(mu_);
  results_[entry] = result;
}

void RecordingDataAccess::Fail(const std::string& entry, Status status) {
  std::lock_guard lock(mu_);
  failures_.insert_or_assign(entry, std::move(status));
}

void RecordingDataAccess::FailAsLibrary(const std::string& entry, std::string words) {
  std::lock_guard lock(mu_);
  library_failures_.insert_or_assign(entry, std::move(words));
}

void RecordingDataAccess::ClearFailures() {
  std::lock_guard lock(mu_);
  failures_.clear();
  library_failures_.clear();
}

Result<int32_t> RecordingDataAccess::odbc_GetSysDateStr(int32_t hdbc, char* buffer) {
  std::lock_guard lock(mu_);
  if (auto failure = Record("odbc_GetSysDateStr", hdbc, "", nullptr)) return *failure;
  const int32_t result = ResultOf("odbc_GetSysDateStr");
  if (result == 1 && sys_date_) {
    const size_t n = std::min(sys_date_->size(), size_t{QZPUB_DATE_BUFFER_SIZE - 1});
    std::memcpy(buffer, sys_date_->data(), n);
    buffer[n] = '\0';
  }
  return result;
}

Result<int32_t> RecordingDataAccess::odbc_ExecSQL(int32_t hdbc, const std::string& sql) {
  std::lock_guard lock(mu_);
  if (auto failure = Record("odbc_ExecSQL", hdbc, sql, nullptr)) return *failure;
  const int32_t result = ResultOf("odbc_ExecSQL");
  if (result != 1) return result;
  const auto refused = [&] { return Failed(-1, "RecordingDataAccess: cannot run " + sql); };
  Parser p(sql);
  if (!p.Keyword("delete")) return refused();
  p.Keyword("from");
  if (!p.Keyword("yhdl")) return refused();
  std::vector<Term> terms;
  if (!p.AtEnd()) {
    if (!p.Keyword("where")) return refused();
    std::optional<std::vector<Term>> parsed = p.Conjunction();
    if (!parsed) return refused();
    terms = std::move(*parsed);
  }
  std::erase_if(table_, [&](const auto& entry) { return Matches(entry.second, terms); });
  return result;
}

Result<int32_t> RecordingDataAccess::userYHDL_Insert(int32_t hdbc, YHDLRecord& record) {
  std::lock_guard lock(mu_);
  if (auto failure = Record("userYHDL_Insert", hdbc, "", &record)) return *failure;
  const int32_t result = ResultOf("userYHDL_Insert");
  if (result != 1) return result;
  record.YH00 = next_key_++;
  table_[record.YH00] = record;
  return result;
}

Result<int32_t> RecordingDataAccess::userYHDL_Delete(int32_t hdbc, YHDLRecord& record) {
  std::lock_guard lock(mu_);
  if (auto failure = Record("userYHDL_Delete", hdbc, "", &record)) return *failure;
  const int32_t result = ResultOf("userYHDL_Delete");
  if (result == 1) table_.erase(record.YH00);
  return result;
}

Result<int32_t> RecordingDataAccess::sysMSSQLUses(int32_t hdbc, const std::string& database) {
  std::lock_guard lock(mu_);
  if (auto failure = Record("sysMSSQLUses", hdbc, database, nullptr)) return *failure;
  return ResultOf("sysMSSQLUses");
}

Result<int32_t> RecordingDataAccess::userYHDL_GetFirst(int32_t hdbc, YHDLRecord& record,
                                                       const std::string& condition) {
  std::lock_guard lock(mu_);
  if (auto failure = Record("userYHDL_GetFirst", hdbc, condition, &record)) return *failure;
  if (get_first_result_ && *get_first_result_ < 0) {
    return Failed(*get_first_result_, "userYHDL_GetFirst failed (scripted)");
  }
  if (get_first_result_ && *get_first_result_ == 0) return 0;
  std::vector<YHDLRecord> selected;
  if (scripted_rows_) {
    selected = *scripted_rows_;
  } else {
    Parser p(condition);
    std::optional<std::vector<Term>> terms = p.Conjunction();
    if (!terms) return Failed(-1, "RecordingDataAccess: cannot read condition " + condition);
    for (const auto& [key, row] : table_) {
      if (Matches(row, *terms)) selected.push_back(row);
    }
  }
  if (selected.empty()) return 0;
  const int32_t cursor = get_first_result_ ? *get_first_result_ : next_cursor_++;
  record = selected.front();
  scans_[cursor] = Scan{std::move(selected), 1};
  return cursor;
}

Result<int32_t> RecordingDataAccess::userYHDL_GetNext(int32_t cursor, YHDLRecord& record) {
  std::lock_guard lock(mu_);
  if (auto failure = Record("userYHDL_GetNext", cursor, "", &record)) return *failure;
  auto it = scans_.find(cursor);
  if (it == scans_.end()) return Failed(-1, "no open cursor " + std::to_string(cursor));
  if (it->second.next < it->second.rows.size()) {
    record = it->second.rows[it->second.next++];
    return 1;
  }
  scans_.erase(it);
  return get_next_end_result_;
}

}  // namespace qz::presence
