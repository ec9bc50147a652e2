#include "component/com/com_text.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

namespace qz::com {
namespace {

std::string ToUtf8(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int in = static_cast<int>(length);
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, in, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, in, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::string FromBstr(const BSTR* text) {
  if (text == nullptr || *text == nullptr) return {};
  return ToUtf8(*text, ::SysStringLen(*text));
}

BSTR ToBstr(const std::string& utf8) {
  if (utf8.empty()) return ::SysAllocStringLen(L"", 0);
  const int in = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, nullptr, 0);
  BSTR out = ::SysAllocStringLen(nullptr, static_cast<UINT>(n > 0 ? n : 0));
  if (out != nullptr && n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, out, n);
  return out;
}

std::wstring Widen(const std::string& utf8) {
  BSTR b = ToBstr(utf8);
  std::wstring w(b != nullptr ? b : L"", b != nullptr ? ::SysStringLen(b) : 0);
  ::SysFreeString(b);
  return w;
}

}  // namespace qz::com
