// The SQL the component builds from names that anyone may choose: every value must stay inside
// its quotes. Each statement is parsed back into the text outside the literals and the literals'
// values, which must be the template's and the names. The library receives the statement as a C
// text, cut at its first NUL: the cut must leave a literal open (rejected by any database), never
// a shorter statement of another meaning.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "presence/statements.h"

namespace qz::fuzz {
namespace {

struct Parsed {
  std::vector<std::string> outside;  // one more than literals
  std::vector<std::string> literals;
  bool open = false;  // ends inside a literal
};

Parsed Parse(std::string_view sql) {
  Parsed p;
  p.outside.emplace_back();
  size_t i = 0;
  while (i < sql.size()) {
    if (sql[i] != '\'') {
      p.outside.back() += sql[i++];
      continue;
    }
    ++i;
    std::string value;
    for (;;) {
      if (i == sql.size()) {
        p.open = true;
        p.literals.push_back(value);
        return p;
      }
      if (sql[i] == '\'') {
        if (i + 1 < sql.size() && sql[i + 1] == '\'') {
          value += '\'';
          i += 2;
          continue;
        }
        ++i;
        break;
      }
      value += sql[i++];
    }
    p.literals.push_back(value);
    p.outside.emplace_back();
  }
  return p;
}

// sql built from `outside` and `values` by the template, cut as the library sees it.
void Check(const std::string& sql, const std::vector<std::string>& outside,
           const std::vector<std::string>& values) {
  const Parsed whole = Parse(sql);
  FUZZ_CHECK(!whole.open);
  FUZZ_CHECK(whole.outside == outside);
  FUZZ_CHECK(whole.literals == values);

  const size_t nul = sql.find('\0');
  if (nul == std::string::npos) return;
  const Parsed cut = Parse(std::string_view(sql).substr(0, nul));
  FUZZ_CHECK(cut.open);  // the NUL can only be in a value, so the cut ends inside its literal
}

}  // namespace
}  // namespace qz::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz;
  FuzzedDataProvider in(data, size);
  const std::string user = in.ConsumeRandomLengthString(64);
  const std::string address = in.ConsumeRandomLengthString(64);
  const std::string sys = in.ConsumeRandomLengthString(64);
  const std::string mod = in.ConsumeRemainingBytesAsString();

  fuzz::Check(presence::PurgeStatement(user), {"Delete YHDL where YH08<", ""}, {user});
  fuzz::Check(presence::DuplicateDeleteStatement(user, address, sys, mod),
              {"delete YHDL where YH01=", " and YH02=", " and YH05=", " and YH06=", ""},
              {user, address, sys, mod});
  fuzz::Check(presence::EndpointDeleteStatement(address, sys),
              {"delete YHDL where YH02=", " and YH03=", ""}, {address, sys});

  std::vector<std::string> outside = {""}, values;
  const struct {
    const std::string& value;
    const char* before;
  } filters[] = {{user, "YH01="}, {sys, " YH05 = "}, {mod, " YH06 = "}};
  for (const auto& f : filters) {
    if (f.value.empty()) continue;
    outside.back() += f.before;
    values.push_back(f.value);
    outside.push_back(" And ");
  }
  if (values.empty()) {
    FUZZ_CHECK(presence::RecipientCondition(user, sys, mod).empty());
  } else {
    outside.back() = " ";  // the last "And " is removed
    fuzz::Check(presence::RecipientCondition(user, sys, mod), outside, values);
  }
  return 0;
}
