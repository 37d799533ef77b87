#include "capture/DnsName.h"

#include <algorithm>
#include <cstring>

namespace {

// Every read of captured bytes goes through here, so no caller can step past what was received.
class CPacketBytes
{
public:
    CPacketBytes(const unsigned char* pBytes, size_t nLength) : m_pBytes(pBytes), m_nLength(nLength) {}

    bool GetByte(size_t nOffset, unsigned char& b) const
    {
        if (nOffset >= m_nLength)
            return false;
        b = m_pBytes[nOffset];
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

private:
    const unsigned char* m_pBytes;
    size_t m_nLength;
};

// Offset of the length byte that follows the one at nOffset. Bytes of 0x80 and above count as
// negative lengths and skip nothing, so a compression pointer is never followed: its second byte
// is read as the next label length.
size_t NextLengthByte(size_t nOffset, unsigned char b)
{
    return nOffset + 1 + (b < 0x80 ? b : 0);
}

} // namespace

bool IsDnsDatagram(const unsigned char* datagram, size_t length)
{
    CPacketBytes bytes(datagram, length);
    unsigned char bHigh = 0;
    unsigned char bLow = 0;
    if (!bytes.GetByte(DNS_PORT_OFFSET, bHigh) || !bytes.GetByte(DNS_PORT_OFFSET + 1, bLow))
        return false;
    return ((unsigned(bHigh) << 8) | bLow) == DNS_PORT;
}

// The text is the wire name less its first byte, with every later length byte turned into a full
// stop and the zero length byte into the NUL. So the bytes go over in one copy, and a single walk
// along the length bytes puts in the full stops and finds the end.
bool DecodeQuestionName(const unsigned char* name, size_t available, char* text)
{
    const CPacketBytes bytes(name, available);
    text[0] = '\0';

    unsigned char b = 0;
    if (!bytes.GetByte(0, b))
        return false;
    if (b == 0)
        return true;

    // Never more than the datagram itself holds, so this costs less than copying the datagram.
    const size_t nCopied = std::min(available, NAME_BUFFER_SIZE) - 1;
    bytes.CopyBytes(1, nCopied, text);

    // A zero length byte at offset 1024 still leaves room for the NUL (its text is 1023 bytes).
    const size_t nLimit = std::min(available, NAME_BUFFER_SIZE + 1);
    for (size_t nOffset = NextLengthByte(0, b); nOffset < nLimit && bytes.GetByte(nOffset, b);
         nOffset = NextLengthByte(nOffset, b))
    {
        if (b == 0)
        {
            text[nOffset - 1] = '\0';
            return true;
        }
        text[nOffset - 1] = '.';
    }
    text[nCopied] = '\0';
    return false;
}

bool ExtractQueryName(const unsigned char* datagram, size_t length, char* text)
{
    // Callers read the buffer whatever the answer, so it never holds a stale name.
    text[0] = '\0';
    if (!IsDnsDatagram(datagram, length) || length <= DNS_NAME_OFFSET)
        return false;
    return DecodeQuestionName(datagram + DNS_NAME_OFFSET, length - DNS_NAME_OFFSET, text);
}
