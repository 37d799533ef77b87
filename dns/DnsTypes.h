#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What a query asks for and a response says, as people know it, from one table of types (number,
// mnemonic, and how the type's data is written) and one of response codes: a line says HTTPS where
// the wire says 65, and BADVERS where the header and the OPT record say 16 between them. A type
// without a mnemonic is written "TYPE" and its number, a code without a name "RCODE" and its
// number, the forms zone files already use, so every type and code has exactly one text and reads
// back to its number, 0 included.
std::string DnsTypeName(std::uint16_t nType);
// The mnemonic alone, or empty for a type without one.
std::string_view DnsTypeMnemonic(std::uint16_t nType);
// A mnemonic (the case of its letters ignored) or TYPE and a number below 65536; false for
// anything else.
bool ParseDnsType(std::string_view text, std::uint16_t& nType);

// The twelve bits of an extended response code.
constexpr std::uint16_t MAX_RCODE = 4095;
std::string DnsRcodeName(std::uint16_t nRcode);
// A name (the case of its letters ignored) or RCODE and a number up to MAX_RCODE.
bool ParseDnsRcode(std::string_view text, std::uint16_t& nRcode);
