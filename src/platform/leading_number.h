// The decimal number at the start of a text, as the component reads port texts and address parts.
#ifndef QZ_PLATFORM_LEADING_NUMBER_H_
#define QZ_PLATFORM_LEADING_NUMBER_H_

#include <cstdint>
#include <string_view>

namespace qz {

// The decimal number (optionally signed) at the start of text, leading white space skipped;
// 0 when there is none, and 0 when it does not fit in 32 bits (such a port or address part is
// unusable either way, and no caller may fail on it).
int32_t LeadingNumber(std::string_view text);

}  // namespace qz

#endif  // QZ_PLATFORM_LEADING_NUMBER_H_
