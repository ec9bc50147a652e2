#include "presence/statements.h"

namespace qz::presence {

namespace {

// Appends value with each quote doubled, the way every statement here quotes a value.
void AppendQuoted(std::string& out, std::string_view value) {
  for (size_t start = 0;;) {
    const size_t quote = value.find('\'', start);
    out.append(value.substr(start, quote == std::string_view::npos ? quote : quote + 1 - start));
    if (quote == std::string_view::npos) return;
    out += '\'';
    start = quote + 1;
  }
}

}  // namespace

std::string QuoteSqlValue(std::string_view value) {
  std::string quoted;
  quoted.reserve(value.size() + 2);
  AppendQuoted(quoted, value);
  return quoted;
}

std::string PurgeStatement(std::string_view cutoff) {
  return "Delete YHDL where YH08<'" + QuoteSqlValue(cutoff) + "'";
}

std::string DuplicateDeleteStatement(std::string_view user, std::string_view address,
                                     std::string_view sys, std::string_view mod) {
  return "delete YHDL where YH01='" + QuoteSqlValue(user) + "' and YH02='" +
         QuoteSqlValue(address) + "' and YH05='" + QuoteSqlValue(sys) + "' and YH06='" +
         QuoteSqlValue(mod) + "'";
}

std::string EndpointDeleteStatement(std::string_view address, std::string_view port) {
  return "delete YHDL where YH02='" + QuoteSqlValue(address) + "' and YH03='" +
         QuoteSqlValue(port) + "'";
}

std::string RecipientCondition(std::string_view user, std::string_view sys, std::string_view mod) {
  // Built in place: a sender builds one per message.
  std::string condition;
  condition.reserve(user.size() + sys.size() + mod.size() + 48);
  const auto term = [&condition](std::string_view head, std::string_view value) {
    if (value.empty()) return;
    condition += head;
    AppendQuoted(condition, value);
    condition += "' And ";
  };
  term("YH01='", user);
  term(" YH05 = '", sys);
  term(" YH06 = '", mod);
  if (!condition.empty()) condition.resize(condition.size() - 4);  // the last "And "
  return condition;
}

}  // namespace qz::presence
