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

    // How many of the nCount bytes from nOffset were received, and where they start.
    size_t GetSpan(size_t nOffset, size_t nCount, const unsigned char*& pSpan) const
    {
        if (nOffset >= m_nLength)
            return 0;
        pSpan = m_pBytes + nOffset;
        return std::min(nCount, m_nLength - nOffset);
    }

private:
    const unsigned char* m_pBytes;
    size_t m_nLength;
};

// Ends a name that could not be decoded completely: keeps whatever text was written, with room for the NUL.
bool AbandonName(char* text, size_t nWritten)
{
    text[std::min(nWritten, NAME_BUFFER_SIZE - 1)] = '\0';
    return false;
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

bool DecodeQuestionName(const unsigned char* name, size_t available, char* text)
{
    CPacketBytes bytes(name, available);
    size_t nRead = 0;
    size_t nWritten = 0;
    text[0] = '\0';

    unsigned char b = 0;
    if (!bytes.GetByte(nRead, b))
        return false;
    if (b == 0)
        return true;

    for (;;)
    {
        if (!bytes.GetByte(nRead, b))
            return AbandonName(text, nWritten);
        if (b == 0)
            break;
        ++nRead;

        // Length bytes of 0x80 and above count as negative: they copy nothing, so a compression
        // pointer is never followed and its second byte is read as the next label length.
        const int nLabel = static_cast<signed char>(b);
        if (nLabel > 0)
        {
            const unsigned char* pLabel = nullptr;
            const size_t nReceived = bytes.GetSpan(nRead, size_t(nLabel), pLabel);
            const size_t nRoom = NAME_BUFFER_SIZE - nWritten;
            const size_t nCopy = std::min(nReceived, nRoom);
            if (nCopy > 0)
                std::memcpy(text + nWritten, pLabel, nCopy);
            nWritten += nCopy;
            if (nCopy < size_t(nLabel))
                return AbandonName(text, nWritten);
            nRead += size_t(nLabel);
        }

        // The full stop after the last label becomes the NUL, so it must fit in the buffer too.
        if (nWritten == NAME_BUFFER_SIZE)
            return AbandonName(text, nWritten);
        text[nWritten++] = '.';
    }

    text[nWritten - 1] = '\0';
    return true;
}

bool ExtractQueryName(const unsigned char* datagram, size_t length, char* text)
{
    // Callers read the buffer whatever the answer, so it never holds a stale name.
    text[0] = '\0';
    if (!IsDnsDatagram(datagram, length) || length <= DNS_NAME_OFFSET)
        return false;
    return DecodeQuestionName(datagram + DNS_NAME_OFFSET, length - DNS_NAME_OFFSET, text);
}
