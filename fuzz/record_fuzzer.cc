// Fixed-width text fields of arbitrary 312-byte records, as the data-access library may fill
// them: read in either code page, never past the width, and written back within it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "presence/yhdl_record.h"
#include "qzpub.h"
#include "qzpub_field.h"

namespace qz::fuzz {
namespace {

constexpr char kGuard = '\x5A';

void CheckField(const char* field, size_t width, const platform::CodePage& cp) {
  const std::string text = presence::ReadTextField(field, width, cp);
  FUZZ_CHECK(text.find('\0') == std::string::npos);
  FUZZ_CHECK(text.empty() || text.back() != ' ');
  FUZZ_CHECK(IsValidUtf8(text));
  const std::string_view raw(field, width);
  const std::string_view before_nul = raw.substr(0, raw.find('\0'));
  if (cp.is_utf8() && IsValidUtf8(before_nul)) {
    FUZZ_CHECK(before_nul.substr(0, text.size()) == text);  // the bytes themselves
  }

  // Written back into a field of the same width: nothing beyond it is touched, and in UTF-8 a
  // text that fits reads back as it was.
  std::string buffer(width + 2, kGuard);
  presence::WriteTextField(buffer.data() + 1, width, text, cp);
  FUZZ_CHECK(buffer.front() == kGuard && buffer.back() == kGuard);
  const std::string back = presence::ReadTextField(buffer.data() + 1, width, cp);
  if (cp.is_utf8() && text.size() <= width) FUZZ_CHECK(back == text);
  FUZZ_CHECK(back.find('\0') == std::string::npos);
}

}  // namespace
}  // namespace qz::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz;
  YHDLRecord record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(&record, data, size < sizeof record ? size : sizeof record);
  const char* bytes = reinterpret_cast<const char*>(&record);
  for (const platform::CodePage* cp : {&fuzz::Utf8(), &fuzz::Gbk()}) {
    for (const qzpub::TextField& f : qzpub::kTextFields) {
      fuzz::CheckField(bytes + f.offset, f.width, *cp);
    }
  }
  // The overloads the component calls, in the process's code page.
  (void)presence::ReadTextField(record.YH02);
  (void)presence::ReadTextField(record.YH03);
  return 0;
}
