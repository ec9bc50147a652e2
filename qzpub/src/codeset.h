// The process's code page, in which text arrives at and leaves the entries.
#ifndef QZPUB_SRC_CODESET_H_
#define QZPUB_SRC_CODESET_H_

#include <string>
#include <string_view>

namespace qzpub {

// The codeset of the environment's locale (LC_ALL, LC_CTYPE, LANG), as nl_langinfo(CODESET)
// names it, read once without changing the process locale. "ANSI_X3.4-1968" when the locale is
// C or unusable. qz_common::IsUtf8CodesetName tells whether it is handled as UTF-8.
const std::string& ProcessCodeset();

// PostgreSQL's name of the client encoding for codeset ("GBK" for "GBK" and "CP936", "UTF8"
// for "UTF-8" and plain ASCII, "LATIN1" for "ISO-8859-1", ...); "UTF8" for a codeset that
// PostgreSQL has no encoding for.
std::string PostgresEncodingFor(std::string_view codeset);

}  // namespace qzpub

#endif  // QZPUB_SRC_CODESET_H_
