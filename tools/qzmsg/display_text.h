// Peer-supplied text made safe and measurable for a terminal. Pure functions over UTF-8.
#ifndef QZMSG_DISPLAY_TEXT_H_
#define QZMSG_DISPLAY_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace qzmsg {

// utf8 with every control character but tab and newline written out, so that no peer can move
// the cursor, clear the screen or retitle the window: C0 controls and DEL as \xNN, C1 controls
// (U+0080..U+009F) as \uNNNN, bytes that are not UTF-8 as \xNN. A carriage return right before
// a newline is dropped (peers on Windows end lines so). Everything else is kept as it is.
std::string EscapeControls(std::string_view utf8);

// The columns a terminal gives utf8: wide (East Asian) characters take two, combining marks
// none, everything else one. Meant for text that EscapeControls has already passed.
size_t DisplayWidth(std::string_view utf8);

}  // namespace qzmsg

#endif  // QZMSG_DISPLAY_TEXT_H_
