#pragma once

#include <cstdint>

// Whether the capturing user (nOwnUid, the helper's real uid) may see which program of nUid sent a
// query: their own, the system users' and nobody's; root every one. Other people's stay anonymous,
// since a capture group member must not learn what the others on the machine look up.
bool MayNameSender(std::uint32_t nUid, std::uint32_t nOwnUid);
