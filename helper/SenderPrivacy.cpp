#include "helper/SenderPrivacy.h"

namespace {

// Below it the accounts of the system and its services, whose programs say nothing about a person.
constexpr std::uint32_t FIRST_HUMAN_UID = 1000;
constexpr std::uint32_t NOBODY_UID = 65534;

} // namespace

bool MayNameSender(std::uint32_t nUid, std::uint32_t nOwnUid)
{
    return nOwnUid == 0 || nUid == nOwnUid || nUid < FIRST_HUMAN_UID || nUid == NOBODY_UID;
}
