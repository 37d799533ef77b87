#pragma once

#include <cstdint>
#include <string>

// What a query asks for, as people know it: the record type's mnemonic, so a line says HTTPS where
// the wire says 65. A type without one is written "TYPE" and its number, the form zone files
// already use for it, so every type has exactly one text and reads back to its number, 0 (TYPE0)
// included.
std::string DnsTypeName(std::uint16_t nType);

// A response's code as people know it (NOERROR, NXDOMAIN, SERVFAIL...), or "RCODE" and its number
// for one without a name.
std::string DnsRcodeName(std::uint8_t nRcode);
