#include "terminal_text.h"

#include <langinfo.h>

#include "display_text.h"
#include "platform/code_page.h"

namespace qzmsg {
namespace {

// The codeset of the process locale, as setlocale(LC_ALL, "") in main chose it. Read once: the
// environment may later name another locale for the component (--net-locale), the process
// locale stays the terminal's.
const qz::platform::CodePage& TerminalCodePage() {
  static const qz::platform::CodePage page = [] {
    qz::Result<qz::platform::CodePage> named = qz::platform::CodePage::Named(nl_langinfo(CODESET));
    return named.ok() ? *named : *qz::platform::CodePage::Named("UTF-8");
  }();
  return page;
}

}  // namespace

std::string FromTerminal(std::string_view bytes) { return TerminalCodePage().ToUtf8(bytes); }

std::string ForTerminal(std::string_view utf8) {
  return TerminalCodePage().FromUtf8(EscapeControls(utf8));
}

}  // namespace qzmsg
