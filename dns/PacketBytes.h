#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Every read of captured bytes goes through here, so no layer of the decoder can step past what
// was received, nor past the end that an outer header gives its payload.
class CPacketBytes
{
public:
    CPacketBytes(const unsigned char* pBytes, size_t nLength) : m_pBytes(pBytes), m_nLength(nLength) {}

    size_t GetLength() const { return m_nLength; }

    // Ends the bytes at nEnd when that is sooner: what an outer header says its payload holds.
    void Narrow(size_t nEnd)
    {
        if (nEnd < m_nLength)
            m_nLength = nEnd;
    }

    bool GetByte(size_t nOffset, unsigned char& b) const
    {
        if (nOffset >= m_nLength)
            return false;
        b = m_pBytes[nOffset];
        return true;
    }

    // Big-endian, as every field of the headers read here.
    bool GetUint16(size_t nOffset, uint16_t& n) const
    {
        if (nOffset >= m_nLength || m_nLength - nOffset < 2)
            return false;
        n = static_cast<uint16_t>((unsigned(m_pBytes[nOffset]) << 8) | m_pBytes[nOffset + 1]);
        return true;
    }

    // A whole fixed-size header at once, one check for all its fields: the fields are then read
    // from the copy at constant offsets, which the compiler keeps in registers.
    template <size_t N>
    bool GetHeader(size_t nOffset, unsigned char (&header)[N]) const
    {
        if (nOffset >= m_nLength || m_nLength - nOffset < N)
            return false;
        std::memcpy(header, m_pBytes + nOffset, N);
        return true;
    }

    // Copies nCount bytes from nOffset; false, copying nothing, unless all of them were received.
    // Out of line on purpose: inlined, GCC sees the bound of the size and expands the copy into
    // rep movsq, which alone costs more than the whole decoding of a short name.
    __attribute__((noinline)) bool CopyBytes(size_t nOffset, size_t nCount, void* pTarget) const
    {
        if (nOffset > m_nLength || nCount > m_nLength - nOffset)
            return false;
        if (nCount > 0)
            std::memcpy(pTarget, m_pBytes + nOffset, nCount);
        return true;
    }

    // Adds the nCount bytes at nOffset to nSum as big-endian 16-bit words (a last odd byte as the
    // high half of one), as the Internet checksum adds them; false, adding nothing, unless all of
    // them were received. nSum is folded by the caller: 64 bits take any frame's words unfolded.
    bool AddWords(size_t nOffset, size_t nCount, std::uint64_t& nSum) const
    {
        if (nOffset > m_nLength || nCount > m_nLength - nOffset)
            return false;
        const unsigned char* p = m_pBytes + nOffset;
        size_t i = 0;
        for (; i + 2 <= nCount; i += 2)
            nSum += (unsigned(p[i]) << 8) | p[i + 1];
        if (i < nCount)
            nSum += unsigned(p[i]) << 8;
        return true;
    }

private:
    const unsigned char* m_pBytes;
    size_t m_nLength;
};

// Fields of a header that GetHeader copied: the offset is checked against its size when compiling.
template <size_t OFFSET, size_t N>
unsigned char ByteAt(const unsigned char (&header)[N])
{
    static_assert(OFFSET < N, "field outside the header");
    return header[OFFSET];
}

template <size_t OFFSET, size_t N>
uint16_t Uint16At(const unsigned char (&header)[N])
{
    static_assert(OFFSET + 2 <= N, "field outside the header");
    return static_cast<uint16_t>((unsigned(header[OFFSET]) << 8) | header[OFFSET + 1]);
}
