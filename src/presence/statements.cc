#include "presence/statements.h"

namespace qz::presence {

std::string QuoteSqlValue(std::string_view value) {
  std::string quoted;
  quoted.reserve(value.size() + 2);
  for (char c : value) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
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
  std::string condition;
  if (!user.empty()) condition += "YH01='" + QuoteSqlValue(user) + "' And ";
  if (!sys.empty()) condition += " YH05 = '" + QuoteSqlValue(sys) + "' And ";
  if (!mod.empty()) condition += " YH06 = '" + QuoteSqlValue(mod) + "' And ";
  if (!condition.empty()) condition.resize(condition.size() - 4);  // the last "And "
  return condition;
}

}  // namespace qz::presence
