#include "codeset.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <utility>

namespace qzpub {
namespace {

// Upper case without '-', '_' and '.': "ISO-8859-1" and "iso88591" compare equal.
std::string Normalized(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '-' || c == '_' || c == '.') continue;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string ReadCodeset() {
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return "ANSI_X3.4-1968";
  std::string name = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  return name.empty() ? "ANSI_X3.4-1968" : name;
}

}  // namespace

const std::string& ProcessCodeset() {
  static const std::string codeset = ReadCodeset();
  return codeset;
}

bool IsUtf8Codeset(std::string_view codeset) {
  const std::string n = Normalized(codeset);
  return n == "UTF8" || n == "ANSIX341968" || n == "ASCII" || n == "USASCII" || n == "646";
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
  std::string n = Normalized(codeset);
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
