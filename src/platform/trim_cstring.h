// TrimCString: the text of a caller's argument or of a fixed-width field, as the component reads
// it: everything before the first NUL, with trailing spaces removed.
#ifndef QZ_PLATFORM_TRIM_CSTRING_H_
#define QZ_PLATFORM_TRIM_CSTRING_H_

#include <string>
#include <string_view>

namespace qz {

// Cuts s at its first NUL (if any) and removes spaces (code 32 only) from the end; leading
// spaces, tabs and other characters stay. No limit on the position of the NUL.
std::string TrimCString(std::string_view s);

}  // namespace qz

#endif  // QZ_PLATFORM_TRIM_CSTRING_H_
