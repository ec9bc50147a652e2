// CodePage on Windows: the system code page is the ANSI code page (GetACP); conversions go
// through UTF-16 with MultiByteToWideChar and WideCharToMultiByte, whose default character for
// what a code page cannot hold is '?'.
#include <windows.h>

#include <string>

#include "platform/code_page.h"
#include "platform/utf8.h"
#include "qz_common/codeset_name.h"

namespace qz::platform {
namespace {

// A code page number from "936", "CP936", "windows-1252" or a few common names; 0 if none.
UINT CodePageNumber(std::string_view name) {
  if (qz_common::IsUtf8CodesetName(name)) return CP_UTF8;
  const std::string n = qz_common::NormalizedCodesetName(name);
  if (n == "GBK" || n == "GB2312") return 936;
  if (n == "BIG5") return 950;
  if (n == "SHIFTJIS" || n == "SJIS") return 932;
  if (n == "ISO88591" || n == "LATIN1") return 28591;
  std::string digits = n;
  for (const char* prefix : {"WINDOWS", "CP", "MS"}) {
    const std::string p(prefix);
    if (digits.rfind(p, 0) == 0) {
      digits = digits.substr(p.size());
      break;
    }
  }
  if (digits.empty() || digits.size() > 5) return 0;
  UINT number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<UINT>(c - '0');
  }
  CPINFO info;
  return ::GetCPInfo(number, &info) ? number : 0;
}

UINT NumberOf(const std::string& name) {
  const UINT n = CodePageNumber(name);
  return n != 0 ? n : CP_ACP;
}

std::wstring Widen(UINT cp, std::string_view bytes) {
  if (bytes.empty()) return {};
  const int in = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(cp, 0, bytes.data(), in, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(cp, 0, bytes.data(), in, wide.data(), n);
  return wide;
}

std::string Narrow(UINT cp, const std::wstring& wide) {
  if (wide.empty()) return {};
  const int in = static_cast<int>(wide.size());
  // UTF-8 takes neither a default character nor the flag that reports its use.
  const char* fallback = cp == CP_UTF8 ? nullptr : "?";
  const int n = ::WideCharToMultiByte(cp, 0, wide.data(), in, nullptr, 0, fallback, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(cp, 0, wide.data(), in, out.data(), n, fallback, nullptr);
  return out;
}

}  // namespace

const CodePage& CodePage::System() {
  static const CodePage system = [] {
    const UINT acp = ::GetACP();
    if (acp == CP_UTF8) return CodePage("UTF-8", true);
    return CodePage("CP" + std::to_string(acp), false);
  }();
  return system;
}

Result<CodePage> CodePage::Named(std::string_view name) {
  const UINT n = CodePageNumber(name);
  if (n == 0)
    return Status::Error(errc::kInvalidArgument, "unknown code page " + std::string(name));
  if (n == CP_UTF8) return CodePage("UTF-8", true);
  return CodePage("CP" + std::to_string(n), false);
}

std::string CodePage::FromUtf8(std::string_view utf8) const {
  if (utf8_) return std::string(utf8);
  return Narrow(NumberOf(name_), Widen(CP_UTF8, utf8));
}

std::string CodePage::ToUtf8(std::string_view bytes) const {
  if (utf8_) return WellFormedUtf8(bytes);
  return Narrow(CP_UTF8, Widen(NumberOf(name_), bytes));
}

}  // namespace qz::platform
