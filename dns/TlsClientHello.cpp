#include "dns/TlsClientHello.h"

#include "dns/DnsLayout.h"

namespace {

constexpr size_t HANDSHAKE_HEADER_SIZE = 4;
constexpr size_t RANDOM_SIZE = 32;
constexpr std::uint16_t EXTENSION_SERVER_NAME = 0;
constexpr std::uint16_t EXTENSION_ALPN = 16;
constexpr std::uint16_t EXTENSION_ECH = 0xfe0d;
constexpr unsigned char SERVER_NAME_HOST = 0;
// Far more than any client sends: a hello of thousands of empty extensions costs a bounded walk.
constexpr unsigned MAX_EXTENSIONS = 256;

// Reads forward through bytes it was given and no further; a read past them fails and leaves
// the reader where it was.
class CReader
{
public:
    explicit CReader(std::string_view bytes) : m_bytes(bytes) {}

    bool IsEmpty() const { return m_bytes.empty(); }
    std::string_view GetRest() const { return m_bytes; }
    bool Number(size_t nBytes, std::uint32_t& nValue)
    {
        if (m_bytes.size() < nBytes)
            return false;
        nValue = 0;
        for (size_t i = 0; i < nBytes; ++i)
            nValue = nValue << 8 | static_cast<unsigned char>(m_bytes[i]);
        m_bytes.remove_prefix(nBytes);
        return true;
    }
    bool Bytes(size_t nBytes, std::string_view& bytes)
    {
        if (m_bytes.size() < nBytes)
            return false;
        bytes = m_bytes.substr(0, nBytes);
        m_bytes.remove_prefix(nBytes);
        return true;
    }
    // A run of bytes after its length of nLengthBytes.
    bool Vector(size_t nLengthBytes, std::string_view& bytes)
    {
        CReader before = *this;
        std::uint32_t nLength = 0;
        if (Number(nLengthBytes, nLength) && Bytes(nLength, bytes))
            return true;
        *this = before;
        return false;
    }

private:
    std::string_view m_bytes;
};

void ReadServerName(std::string_view data, CClientHello& hello)
{
    CReader extension(data);
    std::string_view list;
    if (!extension.Vector(2, list))
    {
        hello.bCut = true;
        return;
    }
    for (CReader names(list); !names.IsEmpty();)
    {
        std::uint32_t nType = 0;
        std::string_view name;
        if (!names.Number(1, nType) || !names.Vector(2, name))
        {
            hello.bCut = true;
            return;
        }
        if (nType == SERVER_NAME_HOST && hello.serverName.empty())
            hello.serverName = name;
    }
}

void ReadAlpn(std::string_view data, CClientHello& hello)
{
    CReader extension(data);
    std::string_view list;
    if (!extension.Vector(2, list))
    {
        hello.bCut = true;
        return;
    }
    for (CReader protocols(list); !protocols.IsEmpty();)
    {
        std::string_view protocol;
        if (!protocols.Vector(1, protocol))
        {
            hello.bCut = true;
            return;
        }
        if (hello.nAlpn < CClientHello::MAX_ALPN)
            hello.alpn[hello.nAlpn++] = protocol;
        else
            hello.bAlpnLeftOut = true;
    }
}

} // namespace

bool CClientHello::Starts(const unsigned char* pSegment, size_t nLength)
{
    return nLength > TLS_RECORD_HEADER_SIZE && pSegment[0] == TLS_RECORD_HANDSHAKE && pSegment[1] == TLS_MAJOR_VERSION
           && pSegment[TLS_RECORD_HEADER_SIZE] == TLS_HANDSHAKE_CLIENT_HELLO;
}

bool CClientHello::Read(const unsigned char* pSegment, size_t nLength, CClientHello& hello)
{
    hello = CClientHello();
    if (!Starts(pSegment, nLength))
        return false;
    // The record, and the handshake in it, may go on past the segment: what it holds is read.
    const auto Within = [&hello](std::string_view bytes, size_t nStated) {
        hello.bCut = hello.bCut || nStated > bytes.size();
        return bytes.substr(0, nStated);
    };
    const std::string_view record =
        Within(std::string_view(reinterpret_cast<const char*>(pSegment), nLength).substr(TLS_RECORD_HEADER_SIZE),
               size_t(pSegment[3]) << 8 | pSegment[4]);
    if (record.size() < HANDSHAKE_HEADER_SIZE)
    {
        hello.bCut = true;
        return true;
    }
    const auto Byte = [&record](size_t i) { return size_t(static_cast<unsigned char>(record[i])); };
    const std::string_view body = Within(record.substr(HANDSHAKE_HEADER_SIZE), Byte(1) << 16 | Byte(2) << 8 | Byte(3));
    std::uint32_t nValue = 0;
    CReader fields(body);
    std::string_view skipped, extensions;
    if (!fields.Number(2, nValue) || !fields.Bytes(RANDOM_SIZE, skipped) || !fields.Vector(1, skipped)
        || !fields.Vector(2, skipped) || !fields.Vector(1, skipped))
    {
        hello.bCut = true;
        return true;
    }
    // A hello without extensions names nothing.
    if (fields.IsEmpty())
        return true;
    // A hello longer than a segment (a post-quantum key share makes one) is cut inside its
    // extensions: those wholly in the segment are read.
    if (!fields.Number(2, nValue))
    {
        hello.bCut = true;
        return true;
    }
    extensions = Within(fields.GetRest(), nValue);
    bool bSeenName = false, bSeenAlpn = false;
    CReader list(extensions);
    for (unsigned n = 0; !list.IsEmpty() && n < MAX_EXTENSIONS; ++n)
    {
        std::uint32_t nType = 0;
        std::string_view data;
        if (!list.Number(2, nType) || !list.Vector(2, data))
        {
            hello.bCut = true;
            return true;
        }
        bool& bSeen = nType == EXTENSION_SERVER_NAME ? bSeenName : bSeenAlpn;
        if (nType == EXTENSION_SERVER_NAME || nType == EXTENSION_ALPN)
        {
            if (bSeen)
            {
                hello.bRepeated = true;
                continue;
            }
            bSeen = true;
        }
        if (nType == EXTENSION_SERVER_NAME)
            ReadServerName(data, hello);
        else if (nType == EXTENSION_ALPN)
            ReadAlpn(data, hello);
        else if (nType == EXTENSION_ECH)
            hello.bEch = true;
    }
    return true;
}
