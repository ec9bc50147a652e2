// CodePage: conversion between the component's UTF-8 text and the 8-bit text of the system code
// page, which the wire and the data-access library carry.
//
// The system code page is the codeset of the environment's locale (LC_ALL, LC_CTYPE, LANG), read
// without changing the process locale; a plain ASCII codeset (the C locale) counts as UTF-8.
// A character that the code page cannot hold becomes '?'; bytes that are not valid in the code
// page become U+FFFD when read. Objects are cheap to copy and may be used from any thread.
#ifndef QZ_PLATFORM_CODE_PAGE_H_
#define QZ_PLATFORM_CODE_PAGE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "qz/status.h"

namespace qz::platform {

class CodePage {
 public:
  // The system code page, determined once per process.
  static const CodePage& System();
  // A code page by its iconv name ("GBK", "CP936", "UTF-8", "ISO-8859-1", ...).
  static Result<CodePage> Named(std::string_view name);

  const std::string& name() const { return name_; }
  bool is_utf8() const { return utf8_; }

  std::string FromUtf8(std::string_view utf8) const;
  std::string ToUtf8(std::string_view bytes) const;

  // The longest prefix of utf8, converted, that fits in max_bytes without cutting a character.
  std::string FromUtf8Fitted(std::string_view utf8, size_t max_bytes) const;

 private:
  CodePage(std::string name, bool utf8) : name_(std::move(name)), utf8_(utf8) {}
  std::string name_;
  bool utf8_;
};

}  // namespace qz::platform

#endif  // QZ_PLATFORM_CODE_PAGE_H_
