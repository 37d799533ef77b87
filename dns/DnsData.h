#pragma once

// What the response decoder and the type table's data writers share, inside dns/: the bounded text
// a response's answers are written into, the bounded reader of one record's data, and the walk over
// a compressed name. Nothing here trusts a count, a length or a pointer of the message.

#include "dns/DnsResponse.h"
#include "dns/PacketBytes.h"
#include "dns/PresentationForm.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace DnsData {

constexpr unsigned MAX_POINTER_HOPS = 128; // a 255-byte name has at most 127 labels to point at
constexpr unsigned char MAX_LABEL_LENGTH = 63;
constexpr unsigned char POINTER_BITS = 0xC0;

// Appends to the caller's text and never past it. What does not fit sets the full mark and writes
// nothing; the record being written is then rewound as a whole. Once a record has been left out,
// discarding keeps the later ones from being written while they are still read and checked.
class CTextWriter
{
public:
    explicit CTextWriter(std::span<char> text) : m_text(text) {}

    void append(const char* p, size_t n)
    {
        if (m_bDiscard)
            return;
        if (m_bFull || n > m_text.size() - m_nLength)
        {
            m_bFull = true;
            return;
        }
        if (n > 0)
            std::memcpy(m_text.data() + m_nLength, p, n);
        m_nLength += n;
    }
    void Put(char c) { append(&c, 1); }
    void Put(std::string_view str) { append(str.data(), str.size()); }
    void PutNumber(std::uint64_t n)
    {
        char digits[20];
        const auto result = std::to_chars(digits, digits + sizeof(digits), n);
        append(digits, size_t(result.ptr - digits));
    }
    // The digits with at least nWidth of them, zeros before.
    void PutPadded(std::uint64_t n, size_t nWidth)
    {
        char digits[20];
        const auto result = std::to_chars(digits, digits + sizeof(digits), n);
        for (size_t nLength = size_t(result.ptr - digits); nLength < nWidth; ++nLength)
            Put('0');
        append(digits, size_t(result.ptr - digits));
    }

    size_t GetLength() const { return m_nLength; }
    bool IsFull() const { return m_bFull; }
    void Rewind(size_t nLength)
    {
        m_nLength = nLength;
        m_bFull = false;
    }
    void MarkFull() { m_bFull = true; }
    void Discard() { m_bDiscard = true; }
    bool IsDiscarding() const { return m_bDiscard; }
    std::string_view View(size_t nFrom) const
    {
        return m_bDiscard ? std::string_view() : std::string_view(m_text.data() + nFrom, m_nLength - nFrom);
    }

private:
    std::span<char> m_text;
    size_t m_nLength = 0;
    bool m_bFull = false;
    bool m_bDiscard = false;
};

// Walks the wire name at nOffset, handing each label to onLabel, and sets nEnd to where the name
// ends in place (after its zero byte, or after its first pointer). Pointers are only ever followed
// backwards, so each is read at most once per hop and the walk always ends.
template <class TOnLabel>
EDnsProblem WalkName(const CPacketBytes& bytes, size_t nOffset, size_t& nEnd, TOnLabel&& onLabel)
{
    size_t nPos = nOffset;
    size_t nWireLength = 1; // the zero byte
    unsigned nHops = 0;
    bool bJumped = false;
    for (;;)
    {
        unsigned char b = 0;
        if (!bytes.GetByte(nPos, b))
            return EDnsProblem::NAME_CUT;
        if (b == 0)
        {
            if (!bJumped)
                nEnd = nPos + 1;
            return EDnsProblem::NONE;
        }
        if ((b & POINTER_BITS) == POINTER_BITS)
        {
            unsigned char bLow = 0;
            if (!bytes.GetByte(nPos + 1, bLow))
                return EDnsProblem::NAME_CUT;
            if (!bJumped)
                nEnd = nPos + 2;
            bJumped = true;
            const size_t nTarget = (size_t(b & ~POINTER_BITS) << 8) | bLow;
            if (nTarget >= bytes.GetLength())
                return EDnsProblem::POINTER_OUTSIDE;
            if (nTarget >= nPos)
                return EDnsProblem::POINTER_FORWARD;
            if (++nHops > MAX_POINTER_HOPS)
                return EDnsProblem::NAME_TOO_LONG;
            nPos = nTarget;
            continue;
        }
        if (b > MAX_LABEL_LENGTH)
            return EDnsProblem::LABEL_TOO_LONG;
        nWireLength += 1 + size_t(b);
        if (nWireLength > MAX_WIRE_NAME_LENGTH)
            return EDnsProblem::NAME_TOO_LONG;
        unsigned char label[MAX_LABEL_LENGTH];
        if (!bytes.CopyBytes(nPos + 1, b, label))
            return EDnsProblem::NAME_CUT;
        onLabel(std::string_view(reinterpret_cast<const char*>(label), b));
        nPos += 1 + size_t(b);
    }
}

// The name in its master-file form, absolute as dig writes names in answers: each label ends with
// '.', and the root alone is ".".
EDnsProblem WriteName(const CPacketBytes& bytes, size_t nOffset, size_t& nEnd, CTextWriter& writer);

// Reads the fields of one record's data, never past its end, which RDLENGTH set.
class CDataReader
{
public:
    CDataReader(const CPacketBytes& bytes, size_t nFrom, size_t nEnd) : m_bytes(bytes), m_nPos(nFrom), m_nEnd(nEnd) {}

    bool Byte(unsigned char& b) { return Left() >= 1 && m_bytes.GetByte(m_nPos++, b); }
    bool Uint16(std::uint16_t& n)
    {
        if (Left() < 2 || !m_bytes.GetUint16(m_nPos, n))
            return false;
        m_nPos += 2;
        return true;
    }
    bool Uint32(std::uint32_t& n)
    {
        std::uint16_t nHigh = 0, nLow = 0;
        if (Left() < 4 || !Uint16(nHigh) || !Uint16(nLow))
            return false;
        n = (std::uint32_t(nHigh) << 16) | nLow;
        return true;
    }
    bool Bytes(size_t nCount, unsigned char* pTarget)
    {
        if (Left() < nCount || !m_bytes.CopyBytes(m_nPos, nCount, pTarget))
            return false;
        m_nPos += nCount;
        return true;
    }
    // A name inside the data; its in-place bytes must end within the data.
    EDnsProblem Name(CTextWriter& writer)
    {
        size_t nEnd = 0;
        const EDnsProblem eProblem = WriteName(m_bytes, m_nPos, nEnd, writer);
        if (eProblem != EDnsProblem::NONE)
            return eProblem;
        if (nEnd > m_nEnd)
            return EDnsProblem::DATA_MALFORMED;
        m_nPos = nEnd;
        return EDnsProblem::NONE;
    }
    bool Skip(size_t nCount)
    {
        if (Left() < nCount)
            return false;
        m_nPos += nCount;
        return true;
    }
    // The next nCount bytes alone (which the caller has checked are there).
    CDataReader Take(size_t nCount) const { return CDataReader(m_bytes, m_nPos, m_nPos + nCount); }
    size_t Left() const { return m_nEnd - m_nPos; }
    bool AtEnd() const { return m_nPos == m_nEnd; }

private:
    const CPacketBytes& m_bytes;
    size_t m_nPos;
    size_t m_nEnd;
};

// Writes a record's data in its type's form, all of it; DATA_MALFORMED, or a name's problem, when
// it does not fit that form exactly (the caller then writes the generic form).
using FWriteData = EDnsProblem (*)(CDataReader& reader, CTextWriter& writer);
// The writer of the type's row, or null for a type whose data is only ever written in the generic
// form (DnsTypes.cpp holds the table).
FWriteData FindDataWriter(std::uint16_t nType);
// RFC 3597's form, which reads back to the bytes whatever they are: \# and the length, then the
// bytes in hex.
void WriteGenericData(CDataReader reader, CTextWriter& writer);

} // namespace DnsData
