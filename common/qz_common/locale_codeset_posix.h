// The codeset of the environment's locale on POSIX systems.
#ifndef QZ_COMMON_LOCALE_CODESET_POSIX_H_
#define QZ_COMMON_LOCALE_CODESET_POSIX_H_

#include <langinfo.h>
#include <locale.h>

#include <string>

namespace qz_common {

// The codeset of the environment's locale (LC_ALL, LC_CTYPE, LANG) as nl_langinfo names it,
// read without changing the process locale, which belongs to the host. "ANSI_X3.4-1968", the C
// locale's, when the environment names no usable locale.
inline std::string LocaleCodeset() {
  constexpr const char kCLocale[] = "ANSI_X3.4-1968";
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return kCLocale;
  std::string name = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return name.empty() ? kCLocale : name;
}

}  // namespace qz_common

#endif  // QZ_COMMON_LOCALE_CODESET_POSIX_H_
