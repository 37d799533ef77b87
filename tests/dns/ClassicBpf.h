#pragma once

// Runs a classic BPF socket filter over one frame the way the kernel does for a packet socket,
// so the capture's filter can be held to the decoder without root and without sending anything.
// Only what a socket filter may use; an instruction outside that set, or a jump out of the
// program, is reported rather than guessed at. Header-only: the fuzz target runs it too.

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The number of bytes the filter keeps (0: dropped); nothing for a program the kernel would refuse.
inline std::optional<uint32_t> RunClassicBpf(const std::vector<sock_filter>& program, const unsigned char* pFrame,
                                             size_t nLength, uint16_t nLinkProtocol)
{
    uint32_t a = 0;
    uint32_t x = 0;
    uint32_t memory[BPF_MEMWORDS] = {};
    const auto Load = [&](uint32_t nOffset, uint32_t nSize, uint32_t& nValue) {
        if (nOffset == uint32_t(SKF_AD_OFF + SKF_AD_PROTOCOL) && nSize == 4)
        {
            nValue = nLinkProtocol;
            return true;
        }
        if (nOffset >= nLength || nLength - nOffset < nSize)
            return false;
        nValue = 0;
        for (uint32_t i = 0; i < nSize; ++i)
            nValue = (nValue << 8) | pFrame[nOffset + i];
        return true;
    };
    const auto Size = [](uint16_t nCode) -> uint32_t {
        return BPF_SIZE(nCode) == BPF_W ? 4 : BPF_SIZE(nCode) == BPF_H ? 2 : 1;
    };

    for (size_t pc = 0; pc < program.size(); ++pc)
    {
        const sock_filter& in = program[pc];
        const uint16_t nCode = in.code;
        switch (BPF_CLASS(nCode))
        {
        case BPF_LD:
            if (BPF_MODE(nCode) == BPF_ABS || BPF_MODE(nCode) == BPF_IND)
            {
                const uint32_t nOffset = in.k + (BPF_MODE(nCode) == BPF_IND ? x : 0);
                if (!Load(nOffset, Size(nCode), a))
                    return 0;
            }
            else if (BPF_MODE(nCode) == BPF_LEN)
                a = uint32_t(nLength);
            else if (BPF_MODE(nCode) == BPF_IMM)
                a = in.k;
            else if (BPF_MODE(nCode) == BPF_MEM && in.k < BPF_MEMWORDS)
                a = memory[in.k];
            else
                return std::nullopt;
            break;
        case BPF_LDX:
            if (BPF_MODE(nCode) == BPF_MSH && BPF_SIZE(nCode) == BPF_B)
            {
                uint32_t b = 0;
                if (!Load(in.k, 1, b))
                    return 0;
                x = (b & 0x0F) * 4;
            }
            else if (BPF_MODE(nCode) == BPF_IMM)
                x = in.k;
            else if (BPF_MODE(nCode) == BPF_MEM && in.k < BPF_MEMWORDS)
                x = memory[in.k];
            else if (BPF_MODE(nCode) == BPF_LEN)
                x = uint32_t(nLength);
            else
                return std::nullopt;
            break;
        case BPF_ST:
        case BPF_STX:
            if (in.k >= BPF_MEMWORDS)
                return std::nullopt;
            memory[in.k] = BPF_CLASS(nCode) == BPF_ST ? a : x;
            break;
        case BPF_ALU:
        {
            const uint32_t v = BPF_SRC(nCode) == BPF_X ? x : in.k;
            switch (BPF_OP(nCode))
            {
            case BPF_ADD:
                a += v;
                break;
            case BPF_SUB:
                a -= v;
                break;
            case BPF_AND:
                a &= v;
                break;
            case BPF_OR:
                a |= v;
                break;
            case BPF_LSH:
                a = v < 32 ? a << v : 0;
                break;
            case BPF_RSH:
                a = v < 32 ? a >> v : 0;
                break;
            default:
                return std::nullopt;
            }
            break;
        }
        case BPF_JMP:
        {
            size_t nSkip = 0;
            if (BPF_OP(nCode) == BPF_JA)
                nSkip = in.k;
            else
            {
                const uint32_t v = BPF_SRC(nCode) == BPF_X ? x : in.k;
                bool bTrue = false;
                switch (BPF_OP(nCode))
                {
                case BPF_JEQ:
                    bTrue = a == v;
                    break;
                case BPF_JGT:
                    bTrue = a > v;
                    break;
                case BPF_JGE:
                    bTrue = a >= v;
                    break;
                case BPF_JSET:
                    bTrue = (a & v) != 0;
                    break;
                default:
                    return std::nullopt;
                }
                nSkip = bTrue ? in.jt : in.jf;
            }
            if (nSkip >= program.size() - pc - 1)
                return std::nullopt;
            pc += nSkip;
            break;
        }
        case BPF_RET:
            if (BPF_RVAL(nCode) == BPF_K)
                return in.k;
            if (BPF_RVAL(nCode) == BPF_A)
                return a;
            return std::nullopt;
        case BPF_MISC:
            if (BPF_MISCOP(nCode) == BPF_TAX)
                x = a;
            else
                a = x;
            break;
        default:
            return std::nullopt;
        }
    }
    // Falling off the end: the kernel refuses a program whose last instruction is not a return.
    return std::nullopt;
}
