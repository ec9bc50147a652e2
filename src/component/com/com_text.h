// Text across the COM boundary: BSTR (UTF-16) in, UTF-8 to the portable class, and back.
#ifndef QZ_COMPONENT_COM_COM_TEXT_H_
#define QZ_COMPONENT_COM_COM_TEXT_H_

#include <wtypes.h>

#include <string>

namespace qz::com {

// The whole BSTR, embedded NULs included (the class trims at the first one itself). A null
// pointer (an omitted optional argument) and a null BSTR are both the empty text.
std::string FromBstr(const BSTR* text);

// A new BSTR the caller frees; an empty text is an empty BSTR, not a null one.
BSTR ToBstr(const std::string& utf8);

std::wstring Widen(const std::string& utf8);

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_COM_TEXT_H_
