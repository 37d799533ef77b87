#include "dns/DnsFilter.h"

#include "dns/DnsLayout.h"
#include "dns/DnsName.h"

#include <linux/if_ether.h>

namespace {

// Classic BPF has no loops and only forward jumps of up to 255 instructions; the program is
// written with named targets and the offsets are worked out at the end.
class CFilterBuilder
{
public:
    using Label = size_t;

    Label NewLabel()
    {
        m_targets.push_back(UNPLACED);
        return m_targets.size() - 1;
    }

    void Place(Label label) { m_targets[label] = m_program.size(); }

    void Stmt(__u16 nCode, __u32 nK) { m_program.push_back(BPF_STMT(nCode, nK)); }

    // Goes to whenTrue or whenFalse; NEXT falls through to the following instruction.
    void Jump(__u16 nCode, __u32 nK, Label whenTrue, Label whenFalse)
    {
        m_jumps.push_back({m_program.size(), whenTrue, whenFalse});
        m_program.push_back(BPF_JUMP(nCode, nK, 0, 0));
    }

    void Goto(Label target)
    {
        m_jumps.push_back({m_program.size(), target, NEXT});
        m_program.push_back(BPF_STMT(BPF_JMP | BPF_JA, 0));
    }

    // Empty when a conditional jump is out of reach: the kernel refuses an empty program, where a
    // cut-down offset would silently jump elsewhere.
    std::vector<sock_filter> Finish()
    {
        for (const CJump& jump : m_jumps)
        {
            sock_filter& instruction = m_program[jump.nAt];
            const size_t nTrue = Distance(jump.nAt, jump.whenTrue);
            const size_t nFalse = Distance(jump.nAt, jump.whenFalse);
            if (BPF_OP(instruction.code) == BPF_JA)
            {
                instruction.k = __u32(nTrue);
                continue;
            }
            if (nTrue > 255 || nFalse > 255)
                return {};
            instruction.jt = static_cast<__u8>(nTrue);
            instruction.jf = static_cast<__u8>(nFalse);
        }
        return m_program;
    }

    static constexpr Label NEXT = static_cast<Label>(-1);

private:
    static constexpr size_t UNPLACED = static_cast<size_t>(-1);

    struct CJump
    {
        size_t nAt;
        Label whenTrue;
        Label whenFalse;
    };

    size_t Distance(size_t nAt, Label target) const
    {
        if (target == NEXT)
            return 0;
        // Backward or unplaced targets cannot happen in the program below; were one written, the
        // huge distance makes Finish refuse it.
        if (m_targets[target] == UNPLACED || m_targets[target] <= nAt)
            return static_cast<size_t>(-1);
        return m_targets[target] - nAt - 1;
    }

    std::vector<sock_filter> m_program;
    std::vector<size_t> m_targets;
    std::vector<CJump> m_jumps;
};

constexpr CFilterBuilder::Label NEXT = CFilterBuilder::NEXT;

// Scratch memory slot for the next header while X moves on to it.
constexpr __u32 SLOT_NEXT_HEADER = 0;
constexpr __u32 SLOT_TRANSPORT = 1;

} // namespace

std::vector<sock_filter> BuildDnsFilter(unsigned nSnapLength, bool bQueriesOnly, unsigned nResponseSnapLength,
                                        unsigned nHelloSnapLength)
{
    CFilterBuilder f;
    const auto keep = f.NewLabel();
    const auto drop = f.NewLabel();
    const auto ipv4 = f.NewLabel();
    const auto ipv4Transport = f.NewLabel();
    const auto ipv6 = f.NewLabel();
    const auto udpAtX = f.NewLabel();
    const auto tcpAtX = f.NewLabel();

    // The link layer's protocol, which a packet socket knows even though the frame starts later.
    f.Stmt(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF + SKF_AD_PROTOCOL));
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, ipv4, NEXT);
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, ipv6, drop);

    f.Place(ipv4);
    f.Stmt(BPF_LD | BPF_B | BPF_ABS, 0);
    f.Stmt(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, IP_VERSION_4 << 4, NEXT, drop);
    f.Stmt(BPF_LD | BPF_H | BPF_ABS, IPV4_FRAGMENT_OFFSET);
    f.Jump(BPF_JMP | BPF_JSET | BPF_K, IPV4_FRAGMENT_OFFSET_MASK, drop, NEXT);
    f.Stmt(BPF_LD | BPF_B | BPF_ABS, IPV4_PROTOCOL_OFFSET);
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, PROTOCOL_UDP, ipv4Transport, NEXT);
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, PROTOCOL_TCP, ipv4Transport, drop);
    f.Place(ipv4Transport);
    // X = 4 * IHL, the real header length.
    f.Stmt(BPF_LDX | BPF_B | BPF_MSH, 0);
    f.Stmt(BPF_MISC | BPF_TXA, 0);
    f.Jump(BPF_JMP | BPF_JGE | BPF_K, IPV4_MIN_HEADER_SIZE, NEXT, drop);
    f.Stmt(BPF_LD | BPF_B | BPF_ABS, IPV4_PROTOCOL_OFFSET);
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, PROTOCOL_UDP, udpAtX, tcpAtX);

    // X is the offset of the header that A names. The chain is unrolled, one step per header.
    f.Place(ipv6);
    f.Stmt(BPF_LD | BPF_B | BPF_ABS, 0);
    f.Stmt(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, IP_VERSION_6 << 4, NEXT, drop);
    f.Stmt(BPF_LDX | BPF_W | BPF_IMM, IPV6_HEADER_SIZE);
    f.Stmt(BPF_LD | BPF_B | BPF_ABS, IPV6_NEXT_HEADER_OFFSET);
    for (unsigned nStep = 0; nStep <= MAX_IPV6_EXTENSION_HEADERS; ++nStep)
    {
        const auto variable = f.NewLabel();
        const auto fragment = f.NewLabel();
        const auto nextStep = f.NewLabel();
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, PROTOCOL_UDP, udpAtX, NEXT);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, PROTOCOL_TCP, tcpAtX, NEXT);
        if (nStep == MAX_IPV6_EXTENSION_HEADERS)
        {
            f.Goto(drop);
            break;
        }
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, IPV6_FRAGMENT, fragment, NEXT);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, IPV6_HOP_BY_HOP, variable, NEXT);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, IPV6_ROUTING, variable, NEXT);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, IPV6_DESTINATION_OPTIONS, variable, drop);

        // X += (units + 1) * 8, A = the header's next header.
        f.Place(variable);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, 0);
        f.Stmt(BPF_ST, SLOT_NEXT_HEADER);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, 1);
        f.Stmt(BPF_ALU | BPF_ADD | BPF_K, 1);
        f.Stmt(BPF_ALU | BPF_LSH | BPF_K, 3);
        f.Stmt(BPF_ALU | BPF_ADD | BPF_X, 0);
        f.Stmt(BPF_MISC | BPF_TAX, 0);
        f.Stmt(BPF_LD | BPF_MEM, SLOT_NEXT_HEADER);
        f.Goto(nextStep);

        // Only the first fragment carries the transport header.
        f.Place(fragment);
        f.Stmt(BPF_LD | BPF_H | BPF_IND, IPV6_FRAGMENT_OFFSET_FIELD);
        f.Jump(BPF_JMP | BPF_JSET | BPF_K, IPV6_FRAGMENT_OFFSET_MASK, drop, NEXT);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, 0);
        f.Stmt(BPF_ST, SLOT_NEXT_HEADER);
        f.Stmt(BPF_MISC | BPF_TXA, 0);
        f.Stmt(BPF_ALU | BPF_ADD | BPF_K, IPV6_FRAGMENT_HEADER_SIZE);
        f.Stmt(BPF_MISC | BPF_TAX, 0);
        f.Stmt(BPF_LD | BPF_MEM, SLOT_NEXT_HEADER);
        f.Place(nextStep);
    }

    // A load past the frame's end ends the program with 0, so a cut-off header is dropped too, and
    // so is a message too short to hold its flags. The QR bit says which port counts: a query goes
    // to port 53, a response comes from it (a server that asks from port 53 gets its answers there).
    const auto query = f.NewLabel();
    const auto response = f.NewLabel();
    const auto quic = f.NewLabel();
    const auto hello = f.NewLabel();
    const bool bEncrypted = nHelloSnapLength != 0;
    f.Place(udpAtX);
    if (bEncrypted)
    {
        f.Stmt(BPF_LD | BPF_H | BPF_IND, DESTINATION_PORT_OFFSET);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, DNS_OVER_TLS_PORT, quic, NEXT);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, HTTPS_PORT, quic, NEXT);
    }
    f.Stmt(BPF_LD | BPF_B | BPF_IND, UDP_HEADER_SIZE + DNS_FLAGS_OFFSET);
    f.Jump(BPF_JMP | BPF_JSET | BPF_K, DNS_QR_BIT, bQueriesOnly ? drop : response, query);

    // Over TCP the flags follow the header's real length and the message's length prefix; a
    // segment that carries no payload (a handshake, an acknowledgement) ends here as well. The
    // transport header's offset waits in a slot meanwhile, for the ports.
    f.Place(tcpAtX);
    f.Stmt(BPF_STX, SLOT_TRANSPORT);
    if (bEncrypted)
    {
        f.Stmt(BPF_LD | BPF_H | BPF_IND, DESTINATION_PORT_OFFSET);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, DNS_OVER_TLS_PORT, hello, NEXT);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, HTTPS_PORT, hello, NEXT);
    }
    f.Stmt(BPF_LD | BPF_B | BPF_IND, TCP_DATA_OFFSET_OFFSET);
    f.Stmt(BPF_ALU | BPF_AND | BPF_K, 0xF0);
    f.Stmt(BPF_ALU | BPF_RSH | BPF_K, 2);
    f.Stmt(BPF_ALU | BPF_ADD | BPF_X, 0);
    f.Stmt(BPF_MISC | BPF_TAX, 0);
    f.Stmt(BPF_LD | BPF_B | BPF_IND, DNS_TCP_LENGTH_SIZE + DNS_FLAGS_OFFSET);
    f.Stmt(BPF_LDX | BPF_MEM, SLOT_TRANSPORT);
    f.Jump(BPF_JMP | BPF_JSET | BPF_K, DNS_QR_BIT, bQueriesOnly ? drop : response, query);

    f.Place(query);
    f.Stmt(BPF_LD | BPF_H | BPF_IND, DESTINATION_PORT_OFFSET);
    f.Jump(BPF_JMP | BPF_JEQ | BPF_K, DNS_PORT, keep, drop);
    if (!bQueriesOnly)
    {
        const auto keepResponse = f.NewLabel();
        f.Place(response);
        f.Stmt(BPF_LD | BPF_H | BPF_IND, SOURCE_PORT_OFFSET);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, DNS_PORT, keepResponse, drop);
        f.Place(keepResponse);
        f.Stmt(BPF_RET | BPF_K, nResponseSnapLength != 0 ? nResponseSnapLength : nSnapLength);
    }

    if (bEncrypted)
    {
        // A segment of no payload (the handshake, an acknowledgement) ends at the first load.
        const auto keepHello = f.NewLabel();
        f.Place(hello);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, TCP_DATA_OFFSET_OFFSET);
        f.Stmt(BPF_ALU | BPF_AND | BPF_K, 0xF0);
        f.Stmt(BPF_ALU | BPF_RSH | BPF_K, 2);
        f.Stmt(BPF_ALU | BPF_ADD | BPF_X, 0);
        f.Stmt(BPF_MISC | BPF_TAX, 0);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, 0);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, TLS_RECORD_HANDSHAKE, NEXT, drop);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, 1);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, TLS_MAJOR_VERSION, NEXT, drop);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, TLS_RECORD_HEADER_SIZE);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, TLS_HANDSHAKE_CLIENT_HELLO, keepHello, drop);
        f.Place(keepHello);
        f.Stmt(BPF_RET | BPF_K, nHelloSnapLength);

        const auto keepQuic = f.NewLabel();
        f.Place(quic);
        f.Stmt(BPF_LD | BPF_B | BPF_IND, UDP_HEADER_SIZE);
        f.Stmt(BPF_ALU | BPF_AND | BPF_K, QUIC_LONG_HEADER_BITS);
        f.Jump(BPF_JMP | BPF_JEQ | BPF_K, QUIC_LONG_HEADER_BITS, keepQuic, drop);
        f.Place(keepQuic);
        f.Stmt(BPF_RET | BPF_K, QUIC_SNAP_LENGTH);
    }

    f.Place(keep);
    f.Stmt(BPF_RET | BPF_K, nSnapLength);
    f.Place(drop);
    f.Stmt(BPF_RET | BPF_K, 0);
    return f.Finish();
}
