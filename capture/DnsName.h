#pragma once

#include <cstddef>

// Reading a captured IPv4 datagram by fixed offsets: a 20-byte IPv4 header, an 8-byte UDP header
// and a 12-byte DNS header are assumed, and only the destination port is looked at.

constexpr size_t NAME_BUFFER_SIZE = 1024;   // the name text with its NUL never takes more
constexpr size_t DNS_PORT_OFFSET = 22;      // destination port, big-endian
constexpr size_t DNS_NAME_OFFSET = 40;      // first length byte of the question name
constexpr unsigned DNS_PORT = 53;

// Whether the datagram is taken as a DNS query: bytes 22-23 hold 53. Shorter than 24 bytes: no.
bool IsDnsDatagram(const unsigned char* datagram, size_t length);

// Decodes the wire name at `name` into dotted text in `text` (NAME_BUFFER_SIZE bytes). Never reads
// at or past name + available, never writes past text + NAME_BUFFER_SIZE, and always leaves a
// NUL-terminated text. False when the name is cut off: the bytes end before its zero length byte,
// or its text would not fit.
bool DecodeQuestionName(const unsigned char* name, size_t available, char* text);

// The worker's step for each datagram: true when `text` now holds a name to deliver.
bool ExtractQueryName(const unsigned char* datagram, size_t length, char* text);
