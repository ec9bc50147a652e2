// The SQL that qzpub runs: the component's T-SQL-shaped statements made standard, and the
// scan of YHDL under a caller's condition.
#ifndef QZPUB_SRC_STATEMENT_H_
#define QZPUB_SRC_STATEMENT_H_

#include <string>
#include <string_view>

namespace qzpub {

// "delete TABLE where ..." (T-SQL leaves out FROM) becomes "delete FROM TABLE where ...": a
// leading "delete", in any letter case, not followed by "from", gets the FROM. Every other
// statement is returned unchanged.
std::string TranslateStatement(std::string_view sql);

// Whether sql is a DELETE (its first word, in any letter case): running it a second time
// changes nothing the first did not, so it may be sent again when its connection was lost
// before the answer came.
bool IsDeleteStatement(std::string_view sql);

// The scan of every column of YHDL, in key order, of the rows that satisfy condition, a bare
// boolean expression; one that is empty or only blanks selects every row. The condition stands
// on lines of its own, so a trailing "--" comment in it cannot swallow the rest.
std::string SelectStatement(std::string_view condition);

}  // namespace qzpub

#endif  // QZPUB_SRC_STATEMENT_H_
