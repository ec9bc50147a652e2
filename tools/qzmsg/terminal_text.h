// Text between the terminal and the component: the terminal speaks the codeset of the process
// locale (set by main from the environment), the component's API speaks UTF-8.
#ifndef QZMSG_TERMINAL_TEXT_H_
#define QZMSG_TERMINAL_TEXT_H_

#include <string>
#include <string_view>

namespace qzmsg {

// What the user typed or gave as an argument, as UTF-8. Bytes that are not valid in the
// terminal's codeset become U+FFFD.
std::string FromTerminal(std::string_view bytes);

// Text for a person to read: controls escaped (EscapeControls), then converted to the
// terminal's codeset; a character the codeset cannot show becomes '?'. Every human-readable
// line qzmsg writes passes through here; JSON output does not.
std::string ForTerminal(std::string_view utf8);

}  // namespace qzmsg

#endif  // QZMSG_TERMINAL_TEXT_H_
