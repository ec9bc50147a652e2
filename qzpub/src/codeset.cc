#include "codeset.h"

#include <cctype>
#include <utility>

#include "qz_common/codeset_name.h"
#include "qz_common/locale_codeset_posix.h"

namespace qzpub {

const std::string& ProcessCodeset() {
  static const std::string codeset = qz_common::LocaleCodeset();
  return codeset;
}

std::string PostgresEncodingFor(std::string_view codeset) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"GBK", "GBK"},
      {"CP936", "GBK"},
      {"MS936", "GBK"},
      {"WINDOWS936", "GBK"},
      {"GB18030", "GB18030"},
      {"GB2312", "EUC_CN"},
      {"EUCCN", "EUC_CN"},
      {"BIG5", "BIG5"},
      {"CP950", "BIG5"},
      {"BIG5HKSCS", "BIG5"},
      {"EUCTW", "EUC_TW"},
      {"EUCJP", "EUC_JP"},
      {"SJIS", "SJIS"},
      {"SHIFTJIS", "SJIS"},
      {"CP932", "SJIS"},
      {"EUCKR", "EUC_KR"},
      {"CP949", "UHC"},
      {"UHC", "UHC"},
      {"ISO88591", "LATIN1"},
      {"ISO88592", "LATIN2"},
      {"ISO88593", "LATIN3"},
      {"ISO88594", "LATIN4"},
      {"ISO88595", "ISO_8859_5"},
      {"ISO88596", "ISO_8859_6"},
      {"ISO88597", "ISO_8859_7"},
      {"ISO88598", "ISO_8859_8"},
      {"ISO88599", "LATIN5"},
      {"ISO885910", "LATIN6"},
      {"ISO885913", "LATIN7"},
      {"ISO885914", "LATIN8"},
      {"ISO885915", "LATIN9"},
      {"ISO885916", "LATIN10"},
      {"KOI8R", "KOI8R"},
      {"KOI8U", "KOI8U"},
      {"CP866", "WIN866"},
      {"CP874", "WIN874"},
      {"CP1250", "WIN1250"},
      {"CP1251", "WIN1251"},
      {"CP1252", "WIN1252"},
      {"CP1253", "WIN1253"},
      {"CP1254", "WIN1254"},
      {"CP1255", "WIN1255"},
      {"CP1256", "WIN1256"},
      {"CP1257", "WIN1257"},
      {"CP1258", "WIN1258"},
  };
  std::string n = qz_common::NormalizedCodesetName(codeset);
  // "WINDOWS-1252" is another name of CP1252.
  if (n.rfind("WINDOWS", 0) == 0 && n.size() > 7 &&
      std::isdigit(static_cast<unsigned char>(n[7]))) {
    n = "CP" + n.substr(7);
  }
  for (const auto& [from, to] : kNames) {
    if (n == from) return to;
  }
  return "UTF8";
}

}  // namespace qzpub
