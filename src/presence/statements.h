// The SQL texts that the component builds over table YHDL, joined from literal pieces and
// values. Every value that stands between single quotes has its single quotes doubled, so that
// no name can change what a statement means.
#ifndef QZ_PRESENCE_STATEMENTS_H_
#define QZ_PRESENCE_STATEMENTS_H_

#include <string>
#include <string_view>

namespace qz::presence {

// value with each ' doubled.
std::string QuoteSqlValue(std::string_view value);

// "Delete YHDL where YH08<'" cutoff "'"
std::string PurgeStatement(std::string_view cutoff);

// "delete YHDL where YH01='" user "' and YH02='" address "' and YH05='" sys "' and YH06='" mod "'"
std::string DuplicateDeleteStatement(std::string_view user, std::string_view address,
                                     std::string_view sys, std::string_view mod);

// "delete YHDL where YH02='" address "' and YH03='" port "'": the rows that claim an endpoint.
// Only one socket can listen there, so once a login holds it, every other such row is stale.
std::string EndpointDeleteStatement(std::string_view address, std::string_view port);

// The recipient condition for the given filters (an empty filter is not a condition), e.g.
// "YH01='u' And  YH05 = 's' " for a user and a system name; empty when no filter is given.
std::string RecipientCondition(std::string_view user, std::string_view sys, std::string_view mod);

}  // namespace qz::presence

#endif  // QZ_PRESENCE_STATEMENTS_H_
