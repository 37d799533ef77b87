#include "dns/DnsTypes.h"

#include "dns/DnsData.h"
#include "dns/NameRule.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <optional>

using namespace DnsData;

namespace {

// dig breaks long hex and base64 into words of this many characters.
constexpr size_t DIG_WORD = 56;

// Writes characters as one field that dig breaks into words.
class CWords
{
public:
    explicit CWords(CTextWriter& writer) : m_writer(writer) {}
    void Put(char c)
    {
        if (m_nCount != 0 && m_nCount % DIG_WORD == 0)
            m_writer.Put(' ');
        m_writer.Put(c);
        ++m_nCount;
    }

private:
    CTextWriter& m_writer;
    size_t m_nCount = 0;
};

void PutHex(CDataReader& reader, size_t nCount, CTextWriter& writer, bool bWords = true)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    CWords words(writer);
    unsigned char b = 0;
    for (size_t i = 0; i < nCount && reader.Byte(b); ++i)
    {
        if (bWords)
        {
            words.Put(HEX[b >> 4]);
            words.Put(HEX[b & 15]);
        }
        else
        {
            writer.Put(HEX[b >> 4]);
            writer.Put(HEX[b & 15]);
        }
    }
}

// The rest of the data in base64, broken into words unless bWords is false.
void PutBase64(CDataReader& reader, CTextWriter& writer, bool bWords = true)
{
    static constexpr char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    CWords words(writer);
    while (!reader.AtEnd())
    {
        const size_t nTaken = std::min<size_t>(reader.Left(), 3);
        unsigned char group[3] = {};
        reader.Bytes(nTaken, group);
        const unsigned nGroup = (unsigned(group[0]) << 16) | (unsigned(group[1]) << 8) | group[2];
        const char quad[4] = {DIGITS[nGroup >> 18], DIGITS[(nGroup >> 12) & 63],
                              nTaken > 1 ? DIGITS[(nGroup >> 6) & 63] : '=', nTaken > 2 ? DIGITS[nGroup & 63] : '='};
        for (const char c : quad)
            bWords ? words.Put(c) : writer.Put(c);
    }
}

// RFC 4648's extended hex alphabet, without padding, as NSEC3's hashed owners are written.
void PutBase32Hex(const unsigned char* p, size_t n, CTextWriter& writer)
{
    static constexpr char DIGITS[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
    std::uint64_t nBits = 0;
    unsigned nHeld = 0;
    for (size_t i = 0; i < n; ++i)
    {
        nBits = (nBits << 8) | p[i];
        nHeld += 8;
        while (nHeld >= 5)
        {
            nHeld -= 5;
            writer.Put(DIGITS[(nBits >> nHeld) & 31]);
        }
    }
    if (nHeld > 0)
        writer.Put(DIGITS[(nBits << (5 - nHeld)) & 31]);
}

// A number of the data's, read by the reader's step for its width.
template <class TNumber, bool (CDataReader::*Read)(TNumber&)>
bool PutNumber(CDataReader& reader, CTextWriter& writer)
{
    TNumber n = 0;
    if (!(reader.*Read)(n))
        return false;
    writer.PutNumber(n);
    return true;
}
constexpr auto PutByteNumber = &PutNumber<unsigned char, &CDataReader::Byte>;
constexpr auto PutUint16 = &PutNumber<std::uint16_t, &CDataReader::Uint16>;
constexpr auto PutUint32 = &PutNumber<std::uint32_t, &CDataReader::Uint32>;

// One <character-string>: a length byte and that many bytes, in quotes.
bool PutCharacterString(CDataReader& reader, CTextWriter& writer)
{
    unsigned char nLength = 0;
    unsigned char text[255];
    if (!reader.Byte(nLength) || !reader.Bytes(nLength, text))
        return false;
    AppendCharacterString(writer, std::string_view(reinterpret_cast<const char*>(text), nLength));
    return true;
}

// The rest of the data as one quoted string (CAA's value, URI's target).
void PutRestAsString(CDataReader& reader, CTextWriter& writer)
{
    unsigned char text[256];
    writer.Put('"');
    while (!reader.AtEnd())
    {
        const size_t nTaken = std::min(reader.Left(), sizeof(text));
        reader.Bytes(nTaken, text);
        // Written as one string's inside: the quotes come from here.
        const std::string_view part(reinterpret_cast<const char*>(text), nTaken);
        for (const char c : part)
        {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x20 || b > 0x7e)
                AppendDecimalEscape(writer, b);
            else
            {
                if (b == '"' || b == '\\')
                    writer.Put('\\');
                writer.Put(c);
            }
        }
    }
    writer.Put('"');
}

bool PutIpv4(CDataReader& reader, CTextWriter& writer)
{
    unsigned char address[4];
    if (!reader.Bytes(sizeof(address), address))
        return false;
    for (size_t i = 0; i < sizeof(address); ++i)
    {
        if (i > 0)
            writer.Put('.');
        writer.PutNumber(address[i]);
    }
    return true;
}

bool PutIpv6(CDataReader& reader, CTextWriter& writer)
{
    unsigned char address[16];
    char szText[INET6_ADDRSTRLEN];
    if (!reader.Bytes(sizeof(address), address) || inet_ntop(AF_INET6, address, szText, sizeof(szText)) == nullptr)
        return false;
    writer.Put(szText);
    return true;
}

// A DNSSEC time: seconds since the epoch as YYYYMMDDHHMMSS (UTC), by days to the civil calendar
// (H. Hinnant's algorithm): no clock or time zone is asked.
void PutDnssecTime(std::uint32_t nTime, CTextWriter& writer)
{
    const std::int64_t nDays = nTime / 86400, nSecond = nTime % 86400;
    const std::int64_t z = nDays + 719468, era = z / 146097, doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    writer.PutPadded(std::uint64_t(y), 4);
    writer.PutPadded(std::uint64_t(m), 2);
    writer.PutPadded(std::uint64_t(d), 2);
    writer.PutPadded(std::uint64_t(nSecond / 3600), 2);
    writer.PutPadded(std::uint64_t(nSecond / 60 % 60), 2);
    writer.PutPadded(std::uint64_t(nSecond % 60), 2);
}

// The types a bitmap window field holds (NSEC, NSEC3, CSYNC): the rest of the data, each type
// after a space.
bool PutTypeBitmap(CDataReader& reader, CTextWriter& writer)
{
    int nLastWindow = -1;
    while (!reader.AtEnd())
    {
        unsigned char nWindow = 0, nLength = 0;
        unsigned char bits[32];
        if (!reader.Byte(nWindow) || !reader.Byte(nLength) || nLength == 0 || nLength > sizeof(bits)
            || int(nWindow) <= nLastWindow || !reader.Bytes(nLength, bits))
            return false;
        nLastWindow = nWindow;
        for (unsigned i = 0; i < unsigned(nLength) * 8; ++i)
        {
            if ((bits[i / 8] & (0x80 >> (i % 8))) == 0)
                continue;
            writer.Put(' ');
            writer.Put(DnsTypeName(std::uint16_t(nWindow * 256 + i)));
        }
    }
    return true;
}

#define READ(step)                                                                                                     \
    if (!(step))                                                                                                       \
    return EDnsProblem::DATA_MALFORMED

// Each writer takes all of its data, or says it is malformed.
EDnsProblem Done(const CDataReader& reader)
{
    return reader.AtEnd() ? EDnsProblem::NONE : EDnsProblem::DATA_MALFORMED;
}

EDnsProblem WriteA(CDataReader& reader, CTextWriter& writer)
{
    READ(PutIpv4(reader, writer));
    return Done(reader);
}

EDnsProblem WriteAaaa(CDataReader& reader, CTextWriter& writer)
{
    READ(PutIpv6(reader, writer));
    return Done(reader);
}

EDnsProblem WriteNameData(CDataReader& reader, CTextWriter& writer)
{
    if (const EDnsProblem eProblem = reader.Name(writer); eProblem != EDnsProblem::NONE)
        return eProblem;
    return Done(reader);
}

EDnsProblem WriteTwoNames(CDataReader& reader, CTextWriter& writer)
{
    if (const EDnsProblem eProblem = reader.Name(writer); eProblem != EDnsProblem::NONE)
        return eProblem;
    writer.Put(' ');
    return WriteNameData(reader, writer);
}

// MX, AFSDB, RT, KX: a 16-bit number and a name.
EDnsProblem WritePreferenceName(CDataReader& reader, CTextWriter& writer)
{
    READ(PutUint16(reader, writer));
    writer.Put(' ');
    return WriteNameData(reader, writer);
}

EDnsProblem WriteSrv(CDataReader& reader, CTextWriter& writer)
{
    for (int i = 0; i < 3; ++i)
    {
        READ(PutUint16(reader, writer));
        writer.Put(' ');
    }
    return WriteNameData(reader, writer);
}

EDnsProblem WriteSoa(CDataReader& reader, CTextWriter& writer)
{
    for (int i = 0; i < 2; ++i)
    {
        if (const EDnsProblem eProblem = reader.Name(writer); eProblem != EDnsProblem::NONE)
            return eProblem;
        writer.Put(' ');
    }
    for (int i = 0; i < 5; ++i)
    {
        if (i > 0)
            writer.Put(' ');
        READ(PutUint32(reader, writer));
    }
    return Done(reader);
}

// TXT, SPF: one or more strings; HINFO: exactly two.
EDnsProblem WriteStrings(CDataReader& reader, CTextWriter& writer)
{
    READ(!reader.AtEnd());
    for (bool bFirst = true; !reader.AtEnd(); bFirst = false)
    {
        if (!bFirst)
            writer.Put(' ');
        READ(PutCharacterString(reader, writer));
    }
    return EDnsProblem::NONE;
}

EDnsProblem WriteHinfo(CDataReader& reader, CTextWriter& writer)
{
    READ(PutCharacterString(reader, writer));
    writer.Put(' ');
    READ(PutCharacterString(reader, writer));
    return Done(reader);
}

EDnsProblem WriteNaptr(CDataReader& reader, CTextWriter& writer)
{
    READ(PutUint16(reader, writer));
    writer.Put(' ');
    READ(PutUint16(reader, writer));
    for (int i = 0; i < 3; ++i)
    {
        writer.Put(' ');
        READ(PutCharacterString(reader, writer));
    }
    writer.Put(' ');
    return WriteNameData(reader, writer);
}

EDnsProblem WriteCaa(CDataReader& reader, CTextWriter& writer)
{
    READ(PutByteNumber(reader, writer));
    unsigned char nTagLength = 0;
    unsigned char tag[255];
    READ(reader.Byte(nTagLength) && nTagLength > 0 && reader.Bytes(nTagLength, tag));
    writer.Put(' ');
    for (size_t i = 0; i < nTagLength; ++i)
    {
        const char c = char(tag[i]);
        READ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
        writer.Put(c);
    }
    writer.Put(' ');
    PutRestAsString(reader, writer);
    return EDnsProblem::NONE;
}

EDnsProblem WriteUri(CDataReader& reader, CTextWriter& writer)
{
    READ(PutUint16(reader, writer));
    writer.Put(' ');
    READ(PutUint16(reader, writer));
    writer.Put(' ');
    PutRestAsString(reader, writer);
    return EDnsProblem::NONE;
}

// SSHFP: two numbers and a fingerprint; TLSA and SMIMEA: three and the data; DS and CDS: a key tag,
// two numbers and a digest. All of them in hex, never empty.
template <int NUMBERS, bool KEY_TAG>
EDnsProblem WriteNumbersHex(CDataReader& reader, CTextWriter& writer)
{
    if (KEY_TAG)
    {
        READ(PutUint16(reader, writer));
        writer.Put(' ');
    }
    for (int i = 0; i < NUMBERS; ++i)
    {
        READ(PutByteNumber(reader, writer));
        writer.Put(' ');
    }
    READ(!reader.AtEnd());
    PutHex(reader, reader.Left(), writer);
    return EDnsProblem::NONE;
}

// DNSKEY, CDNSKEY, KEY: flags, protocol, algorithm and the key in base64.
EDnsProblem WriteDnskey(CDataReader& reader, CTextWriter& writer)
{
    READ(PutUint16(reader, writer));
    writer.Put(' ');
    READ(PutByteNumber(reader, writer));
    writer.Put(' ');
    READ(PutByteNumber(reader, writer));
    READ(!reader.AtEnd());
    writer.Put(' ');
    PutBase64(reader, writer);
    return EDnsProblem::NONE;
}

EDnsProblem WriteBase64Data(CDataReader& reader, CTextWriter& writer)
{
    READ(!reader.AtEnd());
    PutBase64(reader, writer);
    return EDnsProblem::NONE;
}

EDnsProblem WriteRrsig(CDataReader& reader, CTextWriter& writer)
{
    std::uint16_t nCovered = 0;
    READ(reader.Uint16(nCovered));
    writer.Put(DnsTypeName(nCovered));
    writer.Put(' ');
    READ(PutByteNumber(reader, writer));
    writer.Put(' ');
    READ(PutByteNumber(reader, writer));
    writer.Put(' ');
    READ(PutUint32(reader, writer));
    for (int i = 0; i < 2; ++i)
    {
        std::uint32_t nTime = 0;
        READ(reader.Uint32(nTime));
        writer.Put(' ');
        PutDnssecTime(nTime, writer);
    }
    writer.Put(' ');
    READ(PutUint16(reader, writer));
    writer.Put(' ');
    if (const EDnsProblem eProblem = reader.Name(writer); eProblem != EDnsProblem::NONE)
        return eProblem;
    READ(!reader.AtEnd());
    writer.Put(' ');
    PutBase64(reader, writer);
    return EDnsProblem::NONE;
}

EDnsProblem WriteNsec(CDataReader& reader, CTextWriter& writer)
{
    if (const EDnsProblem eProblem = reader.Name(writer); eProblem != EDnsProblem::NONE)
        return eProblem;
    READ(PutTypeBitmap(reader, writer));
    return EDnsProblem::NONE;
}

// NSEC3PARAM's fields, which NSEC3's start with: algorithm, flags, iterations and the salt.
bool PutNsec3Parameters(CDataReader& reader, CTextWriter& writer)
{
    unsigned char nSalt = 0;
    if (!PutByteNumber(reader, writer))
        return false;
    writer.Put(' ');
    if (!PutByteNumber(reader, writer))
        return false;
    writer.Put(' ');
    if (!PutUint16(reader, writer) || !reader.Byte(nSalt) || reader.Left() < nSalt)
        return false;
    writer.Put(' ');
    if (nSalt == 0)
        writer.Put('-');
    PutHex(reader, nSalt, writer, false);
    return true;
}

EDnsProblem WriteNsec3(CDataReader& reader, CTextWriter& writer)
{
    unsigned char nHash = 0;
    unsigned char hash[255];
    READ(PutNsec3Parameters(reader, writer));
    READ(reader.Byte(nHash) && nHash > 0 && reader.Bytes(nHash, hash));
    writer.Put(' ');
    PutBase32Hex(hash, nHash, writer);
    READ(PutTypeBitmap(reader, writer));
    return EDnsProblem::NONE;
}

EDnsProblem WriteNsec3Param(CDataReader& reader, CTextWriter& writer)
{
    READ(PutNsec3Parameters(reader, writer));
    return Done(reader);
}

EDnsProblem WriteZonemd(CDataReader& reader, CTextWriter& writer)
{
    READ(PutUint32(reader, writer));
    writer.Put(' ');
    READ(PutByteNumber(reader, writer));
    writer.Put(' ');
    READ(PutByteNumber(reader, writer));
    READ(!reader.AtEnd());
    writer.Put(' ');
    PutHex(reader, reader.Left(), writer);
    return EDnsProblem::NONE;
}

EDnsProblem WriteCsync(CDataReader& reader, CTextWriter& writer)
{
    READ(PutUint32(reader, writer));
    writer.Put(' ');
    READ(PutUint16(reader, writer));
    READ(PutTypeBitmap(reader, writer));
    return EDnsProblem::NONE;
}

template <size_t BYTES>
EDnsProblem WriteEui(CDataReader& reader, CTextWriter& writer)
{
    static constexpr char HEX[] = "0123456789abcdef";
    unsigned char address[BYTES];
    READ(reader.Bytes(BYTES, address));
    for (size_t i = 0; i < BYTES; ++i)
    {
        if (i > 0)
            writer.Put('-');
        writer.Put(HEX[address[i] >> 4]);
        writer.Put(HEX[address[i] & 15]);
    }
    return Done(reader);
}

// LOC's size and precisions: a mantissa and a power of ten, in centimetres; whole metres without
// the centimetres, as dig writes them.
bool PutLocSize(unsigned char b, CTextWriter& writer)
{
    const unsigned nMantissa = b >> 4, nExponent = b & 15;
    if (nMantissa > 9 || nExponent > 9)
        return false;
    if (nExponent >= 2)
    {
        writer.PutNumber(nMantissa);
        for (unsigned i = 2; i < nExponent && nMantissa != 0; ++i)
            writer.Put('0');
    }
    else
    {
        const unsigned nCentimetres = nMantissa * (nExponent == 1 ? 10 : 1);
        writer.Put("0.");
        writer.PutPadded(nCentimetres, 2);
    }
    writer.Put('m');
    return true;
}

// An angle in thousandths of an arc second from 2^31, at most nMaxDegrees either way.
bool PutLocAngle(std::uint32_t nValue, unsigned nMaxDegrees, char chPositive, char chNegative, CTextWriter& writer)
{
    const std::int64_t nSigned = std::int64_t(nValue) - (std::int64_t(1) << 31);
    const std::uint64_t nAbsolute = std::uint64_t(nSigned < 0 ? -nSigned : nSigned);
    if (nAbsolute > std::uint64_t(nMaxDegrees) * 3600000)
        return false;
    writer.PutNumber(nAbsolute / 3600000);
    writer.Put(' ');
    writer.PutNumber(nAbsolute / 60000 % 60);
    writer.Put(' ');
    writer.PutNumber(nAbsolute / 1000 % 60);
    writer.Put('.');
    writer.PutPadded(nAbsolute % 1000, 3);
    writer.Put(' ');
    writer.Put(nSigned < 0 ? chNegative : chPositive);
    return true;
}

EDnsProblem WriteLoc(CDataReader& reader, CTextWriter& writer)
{
    unsigned char nVersion = 0, nSize = 0, nHorizontal = 0, nVertical = 0;
    std::uint32_t nLatitude = 0, nLongitude = 0, nAltitude = 0;
    READ(reader.Byte(nVersion) && nVersion == 0 && reader.Byte(nSize) && reader.Byte(nHorizontal)
         && reader.Byte(nVertical) && reader.Uint32(nLatitude) && reader.Uint32(nLongitude) && reader.Uint32(nAltitude)
         && reader.AtEnd());
    READ(PutLocAngle(nLatitude, 90, 'N', 'S', writer));
    writer.Put(' ');
    READ(PutLocAngle(nLongitude, 180, 'E', 'W', writer));
    // Centimetres above a base 100,000 m below the reference.
    const std::int64_t nCentimetres = std::int64_t(nAltitude) - 10000000;
    const std::uint64_t nAbsolute = std::uint64_t(nCentimetres < 0 ? -nCentimetres : nCentimetres);
    writer.Put(nCentimetres < 0 ? " -" : " ");
    writer.PutNumber(nAbsolute / 100);
    writer.Put('.');
    writer.PutPadded(nAbsolute % 100, 2);
    writer.Put("m ");
    READ(PutLocSize(nSize, writer));
    writer.Put(' ');
    READ(PutLocSize(nHorizontal, writer));
    writer.Put(' ');
    READ(PutLocSize(nVertical, writer));
    return EDnsProblem::NONE;
}

// SVCB and HTTPS (RFC 9460): the keys, and their values as dig writes them.
constexpr const char* SVC_KEY_NAMES[] = {"mandatory", "alpn", "no-default-alpn", "port", "ipv4hint", "ech", "ipv6hint"};
constexpr std::uint16_t SVC_MANDATORY = 0, SVC_ALPN = 1, SVC_NO_DEFAULT_ALPN = 2, SVC_PORT = 3, SVC_IPV4HINT = 4,
                        SVC_ECH = 5, SVC_IPV6HINT = 6;

void PutSvcKey(std::uint16_t nKey, CTextWriter& writer)
{
    if (nKey < std::size(SVC_KEY_NAMES))
        writer.Put(SVC_KEY_NAMES[nKey]);
    else
    {
        writer.Put("key");
        writer.PutNumber(nKey);
    }
}

// A byte of a value inside quotes: the quote's and the backslash's escapes of a character string,
// applied to what the value list's own escapes already made of it (a ',' that is part of an alpn
// id is "\,", and its backslash is written "\\" in the quotes).
void PutQuotedByte(unsigned char b, bool bListItem, CTextWriter& writer)
{
    if (b < 0x20 || b > 0x7e)
    {
        AppendDecimalEscape(writer, b);
        return;
    }
    if (bListItem && (b == ',' || b == '\\'))
        writer.Put("\\\\");
    if (b == '"' || b == '\\')
        writer.Put('\\');
    writer.Put(char(b));
}

bool PutSvcParam(std::uint16_t nKey, CDataReader value, CTextWriter& writer)
{
    unsigned char b = 0;
    PutSvcKey(nKey, writer);
    switch (nKey)
    {
    case SVC_MANDATORY:
        if (value.AtEnd() || value.Left() % 2 != 0)
            return false;
        writer.Put('=');
        for (bool bFirst = true; !value.AtEnd(); bFirst = false)
        {
            std::uint16_t nMandatory = 0;
            value.Uint16(nMandatory);
            if (!bFirst)
                writer.Put(',');
            PutSvcKey(nMandatory, writer);
        }
        return true;
    case SVC_ALPN:
        if (value.AtEnd())
            return false;
        writer.Put("=\"");
        for (bool bFirst = true; !value.AtEnd(); bFirst = false)
        {
            unsigned char nId = 0;
            if (!value.Byte(nId) || nId == 0 || nId > value.Left())
                return false;
            if (!bFirst)
                writer.Put(',');
            while (nId-- > 0 && value.Byte(b))
                PutQuotedByte(b, true, writer);
        }
        writer.Put('"');
        return true;
    case SVC_NO_DEFAULT_ALPN:
        return value.AtEnd();
    case SVC_PORT:
        writer.Put('=');
        return PutUint16(value, writer) && value.AtEnd();
    case SVC_IPV4HINT:
    case SVC_IPV6HINT:
    {
        const bool bIpv4 = nKey == SVC_IPV4HINT;
        if (value.AtEnd() || value.Left() % (bIpv4 ? 4 : 16) != 0)
            return false;
        writer.Put('=');
        for (bool bFirst = true; !value.AtEnd(); bFirst = false)
        {
            if (!bFirst)
                writer.Put(',');
            if (!(bIpv4 ? PutIpv4(value, writer) : PutIpv6(value, writer)))
                return false;
        }
        return true;
    }
    case SVC_ECH:
        if (value.AtEnd())
            return false;
        writer.Put('=');
        PutBase64(value, writer, false);
        return true;
    default:
        writer.Put("=\"");
        while (value.Byte(b))
            PutQuotedByte(b, false, writer);
        writer.Put('"');
        return true;
    }
}

EDnsProblem WriteSvcb(CDataReader& reader, CTextWriter& writer)
{
    READ(PutUint16(reader, writer));
    writer.Put(' ');
    if (const EDnsProblem eProblem = reader.Name(writer); eProblem != EDnsProblem::NONE)
        return eProblem;
    // Keys come in strictly increasing order, so none can be given twice.
    std::optional<std::uint16_t> lastKey;
    while (!reader.AtEnd())
    {
        std::uint16_t nKey = 0, nLength = 0;
        READ(reader.Uint16(nKey) && reader.Uint16(nLength) && !(lastKey && nKey <= *lastKey));
        lastKey = nKey;
        writer.Put(' ');
        const CDataReader value = reader.Take(nLength);
        READ(reader.Skip(nLength) && PutSvcParam(nKey, value, writer));
    }
    return EDnsProblem::NONE;
}

#undef READ

struct CTypeRow
{
    std::uint16_t nType;
    const char* pszMnemonic;
    FWriteData pfnWrite; // null: the generic form alone
};
// In the order of their numbers. Types dig gives a form of their own are written as dig writes
// them; the others that have a mnemonic still have their name, and their data in the generic form.
constexpr CTypeRow TYPES[] = {
    {1, "A", WriteA},
    {2, "NS", WriteNameData},
    {3, "MD", WriteNameData},
    {4, "MF", WriteNameData},
    {5, "CNAME", WriteNameData},
    {6, "SOA", WriteSoa},
    {7, "MB", WriteNameData},
    {8, "MG", WriteNameData},
    {9, "MR", WriteNameData},
    {10, "NULL", nullptr},
    {12, "PTR", WriteNameData},
    {13, "HINFO", WriteHinfo},
    {14, "MINFO", WriteTwoNames},
    {15, "MX", WritePreferenceName},
    {16, "TXT", WriteStrings},
    {17, "RP", WriteTwoNames},
    {18, "AFSDB", WritePreferenceName},
    {21, "RT", WritePreferenceName},
    {24, "SIG", nullptr},
    {25, "KEY", WriteDnskey},
    {28, "AAAA", WriteAaaa},
    {29, "LOC", WriteLoc},
    {33, "SRV", WriteSrv},
    {35, "NAPTR", WriteNaptr},
    {36, "KX", WritePreferenceName},
    {37, "CERT", nullptr},
    {39, "DNAME", WriteNameData},
    {41, "OPT", nullptr},
    {42, "APL", nullptr},
    {43, "DS", WriteNumbersHex<2, true>},
    {44, "SSHFP", WriteNumbersHex<2, false>},
    {45, "IPSECKEY", nullptr},
    {46, "RRSIG", WriteRrsig},
    {47, "NSEC", WriteNsec},
    {48, "DNSKEY", WriteDnskey},
    {49, "DHCID", WriteBase64Data},
    {50, "NSEC3", WriteNsec3},
    {51, "NSEC3PARAM", WriteNsec3Param},
    {52, "TLSA", WriteNumbersHex<3, false>},
    {53, "SMIMEA", WriteNumbersHex<3, false>},
    {55, "HIP", nullptr},
    {59, "CDS", WriteNumbersHex<2, true>},
    {60, "CDNSKEY", WriteDnskey},
    {61, "OPENPGPKEY", WriteBase64Data},
    {62, "CSYNC", WriteCsync},
    {63, "ZONEMD", WriteZonemd},
    {64, "SVCB", WriteSvcb},
    {65, "HTTPS", WriteSvcb},
    {99, "SPF", WriteStrings},
    {108, "EUI48", WriteEui<6>},
    {109, "EUI64", WriteEui<8>},
    {249, "TKEY", nullptr},
    {250, "TSIG", nullptr},
    {251, "IXFR", nullptr},
    {252, "AXFR", nullptr},
    {255, "ANY", nullptr},
    {256, "URI", WriteUri},
    {257, "CAA", WriteCaa},
};

const CTypeRow* FindType(std::uint16_t nType)
{
    const auto it = std::lower_bound(std::begin(TYPES), std::end(TYPES), nType,
                                     [](const CTypeRow& row, std::uint16_t n) { return row.nType < n; });
    return it != std::end(TYPES) && it->nType == nType ? it : nullptr;
}

struct CRcodeRow
{
    std::uint16_t nRcode;
    const char* pszName;
};
constexpr CRcodeRow RCODES[] = {
    {0, "NOERROR"},  {1, "FORMERR"},  {2, "SERVFAIL"},  {3, "NXDOMAIN"},   {4, "NOTIMP"},
    {5, "REFUSED"},  {6, "YXDOMAIN"}, {7, "YXRRSET"},   {8, "NXRRSET"},    {9, "NOTAUTH"},
    {10, "NOTZONE"}, {16, "BADVERS"}, {17, "BADKEY"},   {18, "BADTIME"},   {19, "BADMODE"},
    {20, "BADNAME"}, {21, "BADALG"},  {22, "BADTRUNC"}, {23, "BADCOOKIE"},
};

// PREFIX (its letters in any case) and a number no greater than nMax.
bool ParseNumbered(std::string_view text, std::string_view prefix, unsigned nMax, unsigned& nValue)
{
    if (text.size() <= prefix.size() || !NameRule::IsSameName(text.substr(0, prefix.size()), prefix))
        return false;
    const std::string_view digits = text.substr(prefix.size());
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), nValue);
    return result.ec == std::errc() && result.ptr == digits.data() + digits.size() && nValue <= nMax;
}

} // namespace

namespace DnsData {

EDnsProblem WriteName(const CPacketBytes& bytes, size_t nOffset, size_t& nEnd, CTextWriter& writer)
{
    bool bRoot = true;
    const EDnsProblem eProblem = WalkName(bytes, nOffset, nEnd, [&](std::string_view label) {
        AppendNameLabel(writer, label);
        writer.Put('.');
        bRoot = false;
    });
    if (eProblem == EDnsProblem::NONE && bRoot)
        writer.Put('.');
    return eProblem;
}

FWriteData FindDataWriter(std::uint16_t nType)
{
    const CTypeRow* pRow = FindType(nType);
    return pRow != nullptr ? pRow->pfnWrite : nullptr;
}

void WriteGenericData(CDataReader reader, CTextWriter& writer)
{
    writer.Put("\\# ");
    writer.PutNumber(reader.Left());
    if (!reader.AtEnd())
        writer.Put(' ');
    PutHex(reader, reader.Left(), writer);
}

} // namespace DnsData

std::string_view DnsTypeMnemonic(std::uint16_t nType)
{
    const CTypeRow* pRow = FindType(nType);
    return pRow != nullptr ? pRow->pszMnemonic : std::string_view();
}

std::string DnsTypeName(std::uint16_t nType)
{
    const std::string_view mnemonic = DnsTypeMnemonic(nType);
    return mnemonic.empty() ? "TYPE" + std::to_string(nType) : std::string(mnemonic);
}

bool ParseDnsType(std::string_view text, std::uint16_t& nType)
{
    for (const CTypeRow& row : TYPES)
    {
        if (NameRule::IsSameName(text, row.pszMnemonic))
        {
            nType = row.nType;
            return true;
        }
    }
    unsigned nValue = 0;
    if (!ParseNumbered(text, "TYPE", 0xFFFF, nValue))
        return false;
    nType = std::uint16_t(nValue);
    return true;
}

std::string DnsRcodeName(std::uint16_t nRcode)
{
    for (const CRcodeRow& row : RCODES)
    {
        if (row.nRcode == nRcode)
            return row.pszName;
    }
    return "RCODE" + std::to_string(nRcode);
}

bool ParseDnsRcode(std::string_view text, std::uint16_t& nRcode)
{
    for (const CRcodeRow& row : RCODES)
    {
        if (NameRule::IsSameName(text, row.pszName))
        {
            nRcode = row.nRcode;
            return true;
        }
    }
    unsigned nValue = 0;
    if (!ParseNumbered(text, "RCODE", MAX_RCODE, nValue))
        return false;
    nRcode = std::uint16_t(nValue);
    return true;
}
