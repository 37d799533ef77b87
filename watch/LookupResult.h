#pragma once

#include "channel/Channel.h"

#include <cstdint>
#include <string>
#include <string_view>

// A lookup's result in the C library's own words, as its header names them: SUCCESS, EAI_NONAME,
// HOST_NOT_FOUND..., or EAI and H_ERRNO with a number it has no name for, or UNREAD. One table
// for the lines and the filters.
std::string LookupResultName(lookup_result_kind nKind, std::int32_t nResult);
// Whether the text is one LookupResultName writes for some result.
bool IsLookupResultName(std::string_view text);
