// The execution form of a procedure's code: the interpreter reads the opcode at each offset from
// it, and operands from the stored bytes. It has the same offsets as the code and one byte more:
//   - the byte after the code is END_OF_CODE, so running off the end needs no test per
//     instruction;
//   - an opcode whose operand would run past the end (an indexed operand at the last byte, an
//     address in the last four) is END_OF_CODE too: it raises "invalid bytecode" when it runs,
//     as it would have on reading its operand, so a one-byte operand or an address that the
//     loop reads always lies inside the code;
//   - byte values that are no opcode but an internal instruction's code are NOP, what any byte
//     value without an instruction is;
//   - at every offset where a sequence of KVO_FUSED_OPCODES begins (laid out with one-byte
//     operands), the first opcode is replaced by the internal instruction. Any offset may be
//     an opcode for one path through the code and an operand for another: operands are
//     therefore never read from the form. Its handler carries out the whole sequence when its
//     fast path applies (operands that would pass every check, numbers) and otherwise the
//     first instruction alone, so every offset still means what the stored code means there:
//     jumps into a sequence are safe, and at wider operands the loop reads the plain form
//     below.
// Hooks that follow single instructions (traces, stepping) see the designed opcode of each
// byte (designedOpcodeOf). The form is rebuilt after any change of the code buffer.
// The block that the buffer keeps holds, after the size + 1 bytes of the form, what
// kvoUsualPrologue says of the code: a call reads it instead of looking at the prologue. After
// that comes the plain form, made the same way without internal instructions, which the loop
// reads while a width instruction has set operands wider than one byte: the internal
// instructions take one-byte operands only, so none of them runs then, and none needs to look
// at the width.
#pragma once

#include <cstdint>
#include <cstring>

#include "values/KvoBuffer.h"

// Fills form (size + 1 bytes) with the execution form of the size bytes of code; with fuse
// false, the plain form.
KVO_API void kvoTranslateCode(const std::uint8_t* code, std::uint32_t size, std::uint8_t* form,
                              bool fuse = true) noexcept;

// Nearly every procedure starts with the usual prologue RDWORD, TSPACE n, RBYTE, PUSH (its n
// temporaries, then the first working slot), which a call carries out at once.
constexpr std::uint32_t KVO_PROLOGUE_SIZE = 8;
constexpr std::uint32_t KVO_NO_USUAL_PROLOGUE = UINT32_MAX;
// The n of the usual prologue at the start of the size bytes of code, else
// KVO_NO_USUAL_PROLOGUE.
KVO_API std::uint32_t kvoUsualPrologue(const std::uint8_t* code, std::uint32_t size) noexcept;
// kvoUsualPrologue of the size bytes of code whose execution form is form, kept with the form.
[[gnu::always_inline]] inline std::uint32_t kvoFormPrologue(const std::uint8_t* form, std::uint32_t size) noexcept
{
    std::uint32_t temporaries;
    std::memcpy(&temporaries, form + size + 1, sizeof temporaries);
    return temporaries;
}

// The distance from the execution form of size bytes of code to their plain form.
[[gnu::always_inline]] inline std::uint32_t kvoPlainFormDistance(std::uint32_t size) noexcept
{
    return size + 1 + sizeof(std::uint32_t);
}

// Makes and keeps the execution form of buffer's present contents; returns it.
KVO_API const std::uint8_t* kvoRebuildExecutionForm(KvoBuffer& buffer);

// The execution form of the code in buffer, made when missing or stale.
[[gnu::always_inline]] inline const std::uint8_t* kvoExecutableCode(KvoBuffer& buffer)
{
    if (const std::uint8_t* form = buffer.executionForm()) [[likely]]
        return form;
    return kvoRebuildExecutionForm(buffer);
}
