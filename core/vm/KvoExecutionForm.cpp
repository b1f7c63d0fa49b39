// Translation of stored code into its execution form.
#include "vm/KvoExecutionForm.h"

#include <cstdlib>
#include <cstring>

#include "vm/KvoOpCode.h"

namespace {

// KIVO_PLAIN_DISPATCH set (to anything but 0) in the environment keeps the internal
// instructions out of every form: each instruction then runs by itself, which the tests compare
// with the fused runs.
bool fusing()
{
    static const bool wanted = [] {
        const char* plain = std::getenv("KIVO_PLAIN_DISPATCH");
        return !plain || !*plain || std::strcmp(plain, "0") == 0;
    }();
    return wanted;
}

// The bytes that an opcode takes with a one-byte operand.
constexpr std::uint32_t shortLength(std::uint8_t op)
{
    switch (getOperandKind(op)) {
    case KvoOperandKind::INDEXED:
        return 2;
    case KvoOperandKind::ADDRESS:
        return 1 + KVO_ADDRESS_SIZE;
    default:
        return 1;
    }
}

// The internal instructions grouped by the first opcode of their sequence, each group in list
// order (the order of preference): at an offset only the group of its opcode is tried.
struct SequencesByStart {
    std::uint8_t order[KVO_FUSED_OPCODE_COUNT];
    std::uint16_t begin[257];
    constexpr SequencesByStart() : order(), begin()
    {
        int n = 0;
        for (int op = 0; op < 256; ++op) {
            begin[op] = static_cast<std::uint16_t>(n);
            for (int i = 0; i < KVO_FUSED_OPCODE_COUNT; ++i) {
                if (KVO_FUSED_LIST[i].opcodes[0] == op && op != KVO_NO_OPCODE)
                    order[n++] = static_cast<std::uint8_t>(i);
            }
        }
        begin[256] = static_cast<std::uint16_t>(n);
    }
};
constexpr SequencesByStart SEQUENCES_BY_START{};

// Whether the sequence of fused begins at offset at of the size bytes of code.
bool sequenceAt(const KvoFusedSequence& fused, const std::uint8_t* code, std::uint32_t size, std::uint32_t at)
{
    if (fused.opcodes[0] == KVO_NO_OPCODE)
        return false;
    std::uint32_t position = at;
    std::uint32_t firstOperand = 0;
    std::uint32_t lastOperand = 0;
    for (std::uint8_t op : fused.opcodes) {
        if (op == KVO_NO_OPCODE)
            break;
        if (position >= size || code[position] != op)
            return false;
        std::uint32_t length = shortLength(op);
        if (length > size - position)
            return false;
        if (getOperandKind(op) == KvoOperandKind::INDEXED) {
            lastOperand = code[position + 1];
            if (position == at)
                firstOperand = lastOperand;
        }
        position += length;
    }
    switch (fused.condition) {
    case FUSE_SAME:
        return firstOperand == lastOperand;
    case FUSE_BACK:
    case FUSE_AHEAD: {
        // The jump is the sequence; it goes back when it leads before the end of its operand,
        // as the loop decides at run time.
        std::uint32_t target = readAddress(code + at + 1);
        return target < size && (target < position) == (fused.condition == FUSE_BACK);
    }
    default:
        return true;
    }
}

} // namespace

void kvoTranslateCode(const std::uint8_t* code, std::uint32_t size, std::uint8_t* form, bool fuse) noexcept
{
    fuse = fuse && fusing();
    for (std::uint32_t at = 0; at < size; ++at) {
        std::uint8_t op = code[at];
        if (isFusedOpcode(op))
            op = NOP;
        else if (shortLength(op) > size - at)
            op = END_OF_CODE;
        else if (fuse) {
            for (int i = SEQUENCES_BY_START.begin[op]; i < SEQUENCES_BY_START.begin[op + 1]; ++i) {
                const KvoFusedSequence& fused = KVO_FUSED_LIST[SEQUENCES_BY_START.order[i]];
                if (sequenceAt(fused, code, size, at)) {
                    op = fused.code;
                    break;
                }
            }
        }
        form[at] = op;
    }
    form[size] = END_OF_CODE;
}

std::uint32_t kvoUsualPrologue(const std::uint8_t* code, std::uint32_t size) noexcept
{
    if (size < KVO_PROLOGUE_SIZE || code[0] != RDWORD || code[1] != TSPACE || code[6] != RBYTE || code[7] != PUSH)
        return KVO_NO_USUAL_PROLOGUE;
    return readOperand(code + 2, 4);
}

const std::uint8_t* kvoRebuildExecutionForm(KvoBuffer& buffer)
{
    const KvoBuffer& code = buffer;
    std::uint32_t size = code.size();
    std::uint32_t prologue = kvoUsualPrologue(code.data(), size);
    std::uint32_t plain = kvoPlainFormDistance(size);
    std::uint8_t* form = buffer.prepareExecutionForm(plain + size + 1);
    kvoTranslateCode(code.data(), size, form);
    std::memcpy(form + size + 1, &prologue, sizeof prologue);
    kvoTranslateCode(code.data(), size, form + plain, false);
    return form;
}
