// KvoOpCode: the instruction set of the bytecode machine. KVO_OPCODES is the one list of
// instructions; the enumeration, the mnemonic table and the operand kinds are all generated from
// it, so they cannot drift apart. The numbers are stored in compiled procedures and module
// files and must never change.
//
// Encoding: one opcode byte, then at most one operand. Indexed operands are unsigned
// little-endian integers of the current operand width (1, 2 or 4 bytes, set by RBYTE / RWORD /
// RDWORD, 1 at the start of each activation); address operands are always 4 bytes and hold an
// absolute offset into the code buffer. Operands may stand at any byte offset, so they are read
// byte by byte.
#pragma once

#include <cstdint>

#include "platform/KvoTypes.h"

// What follows the opcode byte.
enum class KvoOperandKind : std::uint8_t {
    NONE,    // nothing
    INDEXED, // an index or count of the current operand width
    ADDRESS, // a 4-byte absolute code offset
    WIDTH,   // no operand; the instruction sets the operand width
};

// X(mnemonic, code, operand kind). The mnemonic is the enumerator's name and the text printed
// by listings and traces.
#define KVO_OPCODES(X)                 \
    X(NOP, 0x00, NONE)                 \
    X(BRT, 0x01, ADDRESS)              \
    X(BRF, 0x02, ADDRESS)              \
    X(BR, 0x03, ADDRESS)               \
    X(NIL, 0x04, NONE)                 \
    X(PUSH, 0x05, NONE)                \
    X(NOT, 0x06, NONE)                 \
    X(NEG, 0x07, NONE)                 \
    X(ADD, 0x08, NONE)                 \
    X(SUB, 0x09, NONE)                 \
    X(MUL, 0x0A, NONE)                 \
    X(DIV, 0x0B, NONE)                 \
    X(REM, 0x0C, NONE)                 \
    X(BAND, 0x0D, NONE)                \
    X(BOR, 0x0E, NONE)                 \
    X(XOR, 0x0F, NONE)                 \
    X(BNOT, 0x10, NONE)                \
    X(SHL, 0x11, NONE)                 \
    X(SHR, 0x12, NONE)                 \
    X(LT, 0x13, NONE)                  \
    X(LE, 0x14, NONE)                  \
    X(EQ, 0x15, NONE)                  \
    X(NE, 0x16, NONE)                  \
    X(GE, 0x17, NONE)                  \
    X(GT, 0x18, NONE)                  \
    X(INC, 0x19, NONE)                 \
    X(DEC, 0x1A, NONE)                 \
    X(LIT, 0x1B, INDEXED)              \
    X(RETURN, 0x1C, NONE)              \
    X(CALL, 0x1D, INDEXED)             \
    X(REF, 0x1E, INDEXED)              \
    X(SET, 0x1F, INDEXED)              \
    X(VREF, 0x20, NONE)                \
    X(VSET, 0x21, NONE)                \
    X(MREF, 0x22, INDEXED)             \
    X(MSET, 0x23, INDEXED)             \
    X(AREF, 0x24, INDEXED)             \
    X(ASET, 0x25, INDEXED)             \
    X(TREF, 0x26, INDEXED)             \
    X(TSET, 0x27, INDEXED)             \
    X(TSPACE, 0x28, INDEXED)           \
    X(SEND, 0x29, INDEXED)             \
    X(DUP2, 0x2A, NONE)                \
    X(NEW, 0x2B, NONE)                 \
    X(DELETE, 0x2C, NONE)              \
    X(DUP, 0x2D, NONE)                 \
    X(POP, 0x2E, NONE)                 \
    X(MKREF, 0x2F, NONE)               \
    X(TRY, 0x30, ADDRESS)              \
    X(ENDTRY, 0x31, ADDRESS)           \
    X(THROW, 0x32, NONE)               \
    X(ENDCATCH, 0x33, NONE)            \
    X(SWITCH, 0x34, ADDRESS)           \
    X(SREF, 0x35, INDEXED)             \
    X(SSET, 0x36, INDEXED)             \
    X(PINC, 0x37, NONE)                \
    X(PDEC, 0x38, NONE)                \
    X(TRON, 0x80, NONE)                \
    X(TROFF, 0x81, NONE)               \
    X(TRSTEP, 0x82, NONE)              \
    X(NEWLINE, 0x83, INDEXED)          \
    X(RBYTE, 0xF0, WIDTH)              \
    X(RWORD, 0xF1, WIDTH)              \
    X(RDWORD, 0xF2, WIDTH)

// The opcodes. Byte values not listed execute as one-byte instructions without effect.
enum KvoOpCode : std::uint8_t {
#define KVO_OPCODE_ENUM(name, code, kind) name = code,
    KVO_OPCODES(KVO_OPCODE_ENUM)
#undef KVO_OPCODE_ENUM
};

// Number of defined opcodes.
constexpr int KVO_OPCODE_COUNT = 0
#define KVO_OPCODE_COUNT_ONE(name, code, kind) +1
    KVO_OPCODES(KVO_OPCODE_COUNT_ONE)
#undef KVO_OPCODE_COUNT_ONE
    ;

static_assert(KVO_OPCODE_COUNT == 64, "the instruction set has 64 opcodes");

// The defined opcodes in the order of KVO_OPCODES: tables indexed by position in the list (such as
// the interpreter's handler addresses) are spread out to byte values through it.
inline constexpr std::uint8_t KVO_OPCODE_LIST[] = {
#define KVO_OPCODE_VALUE(name, code, kind) name,
    KVO_OPCODES(KVO_OPCODE_VALUE)
#undef KVO_OPCODE_VALUE
};
static_assert(sizeof KVO_OPCODE_LIST == KVO_OPCODE_COUNT, "one entry per opcode");

namespace kvo_opcode_detail {
constexpr bool isListAscending()
{
    for (int i = 1; i < KVO_OPCODE_COUNT; ++i) {
        if (KVO_OPCODE_LIST[i - 1] >= KVO_OPCODE_LIST[i])
            return false;
    }
    return true;
}
} // namespace kvo_opcode_detail
static_assert(kvo_opcode_detail::isListAscending(), "the opcode list is in code order and gives no code twice");
static_assert(NOP == 0x00 && BRT == 0x01 && BRF == 0x02 && BR == 0x03 && NIL == 0x04 && PUSH == 0x05 &&
                  NOT == 0x06 && NEG == 0x07 && ADD == 0x08 && SUB == 0x09 && MUL == 0x0A && DIV == 0x0B &&
                  REM == 0x0C && BAND == 0x0D && BOR == 0x0E && XOR == 0x0F && BNOT == 0x10 && SHL == 0x11 &&
                  SHR == 0x12 && LT == 0x13 && LE == 0x14 && EQ == 0x15 && NE == 0x16 && GE == 0x17 && GT == 0x18 &&
                  INC == 0x19 && DEC == 0x1A && LIT == 0x1B && RETURN == 0x1C && CALL == 0x1D && REF == 0x1E &&
                  SET == 0x1F,
              "opcode numbers 0x00-0x1F are stored in compiled code");
static_assert(VREF == 0x20 && VSET == 0x21 && MREF == 0x22 && MSET == 0x23 && AREF == 0x24 && ASET == 0x25 &&
                  TREF == 0x26 && TSET == 0x27 && TSPACE == 0x28 && SEND == 0x29 && DUP2 == 0x2A && NEW == 0x2B &&
                  DELETE == 0x2C && DUP == 0x2D && POP == 0x2E && MKREF == 0x2F && TRY == 0x30 && ENDTRY == 0x31 &&
                  THROW == 0x32 && ENDCATCH == 0x33 && SWITCH == 0x34 && SREF == 0x35 && SSET == 0x36 &&
                  PINC == 0x37 && PDEC == 0x38,
              "opcode numbers 0x20-0x38 are stored in compiled code");
static_assert(TRON == 0x80 && TROFF == 0x81 && TRSTEP == 0x82 && NEWLINE == 0x83 && RBYTE == 0xF0 &&
                  RWORD == 0xF1 && RDWORD == 0xF2,
              "opcode numbers 0x80-0x83 and 0xF0-0xF2 are stored in compiled code");

// The internal instructions of the interpreter's execution form of a procedure (see
// vm/KvoExecutionForm.h). They never appear in stored code, listings or traces: the form is a
// private copy of the code, with the same offsets, in which the first opcode of a recognised
// sequence is replaced by the internal instruction that carries out the whole sequence.
// X(name, code, condition, opcodes...): what else the code must show for the sequence to be
// recognised (KvoFusedCondition), and the designed opcodes of the sequence, at most
// KVO_FUSED_MAX_LENGTH (each INDEXED operand is one byte, the width the internal instruction
// requires).
// END_OF_CODE stands for no sequence: it marks the end of the code and every opcode whose
// operand would run past it.
constexpr std::uint8_t KVO_NO_OPCODE = 0xFF;
enum KvoFusedCondition : std::uint8_t {
    FUSE_ANY,   // nothing more
    FUSE_SAME,  // the first and the last operand are equal
    FUSE_BACK,  // the jump, the sequence's only instruction, leads inside the code and backward
    FUSE_AHEAD, // the jump leads inside the code and forward
};
#define KVO_FUSED_OPCODES(X)                                                 \
    X(END_OF_CODE, 0x40, FUSE_ANY)                                              \
    X(PUSH_TREF_PUSH_TREF_MUL_ADD, 0x78, FUSE_ANY, PUSH, TREF, PUSH, TREF, MUL, ADD)    \
    X(PUSH_TREF_PUSH_TREF_MUL_SUB, 0x79, FUSE_ANY, PUSH, TREF, PUSH, TREF, MUL, SUB)    \
    X(PUSH_TREF_PUSH_LIT_MUL_ADD, 0x7A, FUSE_ANY, PUSH, TREF, PUSH, LIT, MUL, ADD)      \
    X(PUSH_TREF_PUSH_LIT_BAND_ADD, 0x7B, FUSE_ANY, PUSH, TREF, PUSH, LIT, BAND, ADD)    \
    X(PUSH_TREF_PUSH_LIT_REM_ADD, 0x7C, FUSE_ANY, PUSH, TREF, PUSH, LIT, REM, ADD)      \
    X(PUSH_REF_PUSH_TREF_VREF_ADD, 0x7D, FUSE_ANY, PUSH, REF, PUSH, TREF, VREF, ADD)    \
    X(PUSH_REF_PUSH_TREF_VREF_SUB, 0x7E, FUSE_ANY, PUSH, REF, PUSH, TREF, VREF, SUB)    \
    X(PUSH_REF_PUSH_TREF_VREF_MUL, 0x7F, FUSE_ANY, PUSH, REF, PUSH, TREF, VREF, MUL)    \
    X(PUSH_TREF_ADD, 0x41, FUSE_ANY, PUSH, TREF, ADD)                           \
    X(PUSH_TREF_SUB, 0x42, FUSE_ANY, PUSH, TREF, SUB)                           \
    X(PUSH_TREF_MUL, 0x43, FUSE_ANY, PUSH, TREF, MUL)                           \
    X(PUSH_TREF_DIV, 0x44, FUSE_ANY, PUSH, TREF, DIV)                           \
    X(PUSH_TREF_REM, 0x45, FUSE_ANY, PUSH, TREF, REM)                           \
    X(PUSH_TREF_BAND, 0x46, FUSE_ANY, PUSH, TREF, BAND)                         \
    X(PUSH_TREF_LT, 0x47, FUSE_ANY, PUSH, TREF, LT)                             \
    X(PUSH_TREF_LE, 0x48, FUSE_ANY, PUSH, TREF, LE)                             \
    X(PUSH_TREF_GT, 0x49, FUSE_ANY, PUSH, TREF, GT)                             \
    X(PUSH_TREF_GE, 0x4A, FUSE_ANY, PUSH, TREF, GE)                             \
    X(PUSH_TREF_EQ, 0x4B, FUSE_ANY, PUSH, TREF, EQ)                             \
    X(PUSH_TREF_NE, 0x4C, FUSE_ANY, PUSH, TREF, NE)                             \
    X(PUSH_TREF_VREF, 0x4D, FUSE_ANY, PUSH, TREF, VREF)                         \
    X(PUSH_LIT_ADD, 0x4E, FUSE_ANY, PUSH, LIT, ADD)                             \
    X(PUSH_LIT_SUB, 0x4F, FUSE_ANY, PUSH, LIT, SUB)                             \
    X(PUSH_LIT_MUL, 0x50, FUSE_ANY, PUSH, LIT, MUL)                             \
    X(PUSH_LIT_DIV, 0x51, FUSE_ANY, PUSH, LIT, DIV)                             \
    X(PUSH_LIT_REM, 0x52, FUSE_ANY, PUSH, LIT, REM)                             \
    X(PUSH_LIT_BAND, 0x53, FUSE_ANY, PUSH, LIT, BAND)                           \
    X(PUSH_LIT_LT, 0x54, FUSE_ANY, PUSH, LIT, LT)                               \
    X(PUSH_LIT_LE, 0x55, FUSE_ANY, PUSH, LIT, LE)                               \
    X(PUSH_LIT_GT, 0x56, FUSE_ANY, PUSH, LIT, GT)                               \
    X(PUSH_LIT_GE, 0x57, FUSE_ANY, PUSH, LIT, GE)                               \
    X(PUSH_LIT_EQ, 0x58, FUSE_ANY, PUSH, LIT, EQ)                               \
    X(PUSH_LIT_NE, 0x59, FUSE_ANY, PUSH, LIT, NE)                               \
    X(PUSH_LIT_VREF, 0x5A, FUSE_ANY, PUSH, LIT, VREF)                           \
    X(PUSH_AREF_ADD, 0x5B, FUSE_ANY, PUSH, AREF, ADD)                           \
    X(PUSH_AREF_SUB, 0x5C, FUSE_ANY, PUSH, AREF, SUB)                           \
    X(PUSH_AREF_MUL, 0x5D, FUSE_ANY, PUSH, AREF, MUL)                           \
    X(PUSH_AREF_DIV, 0x5E, FUSE_ANY, PUSH, AREF, DIV)                           \
    X(PUSH_AREF_REM, 0x5F, FUSE_ANY, PUSH, AREF, REM)                           \
    X(PUSH_AREF_BAND, 0x60, FUSE_ANY, PUSH, AREF, BAND)                         \
    X(PUSH_AREF_LT, 0x61, FUSE_ANY, PUSH, AREF, LT)                             \
    X(PUSH_AREF_LE, 0x62, FUSE_ANY, PUSH, AREF, LE)                             \
    X(PUSH_AREF_GT, 0x63, FUSE_ANY, PUSH, AREF, GT)                             \
    X(PUSH_AREF_GE, 0x64, FUSE_ANY, PUSH, AREF, GE)                             \
    X(PUSH_AREF_EQ, 0x65, FUSE_ANY, PUSH, AREF, EQ)                             \
    X(PUSH_AREF_NE, 0x66, FUSE_ANY, PUSH, AREF, NE)                             \
    X(PUSH_AREF_VREF, 0x67, FUSE_ANY, PUSH, AREF, VREF)                         \
    X(PUSH_TREF_VSET, 0x72, FUSE_ANY, PUSH, TREF, VSET)                         \
    X(PUSH_LIT_VSET, 0x73, FUSE_ANY, PUSH, LIT, VSET)                           \
    X(PUSH_TREF, 0x68, FUSE_ANY, PUSH, TREF)                                    \
    X(PUSH_LIT, 0x69, FUSE_ANY, PUSH, LIT)                                      \
    X(PUSH_AREF, 0x6A, FUSE_ANY, PUSH, AREF)                                    \
    X(TREF_INC_TSET, 0x6B, FUSE_SAME, TREF, INC, TSET)                            \
    X(TREF_DEC_TSET, 0x6C, FUSE_SAME, TREF, DEC, TSET)                            \
    X(TREF_PINC_TSET, 0x6D, FUSE_SAME, TREF, PINC, TSET)                          \
    X(TREF_PDEC_TSET, 0x6E, FUSE_SAME, TREF, PDEC, TSET)                          \
    X(TSET_BR, 0x6F, FUSE_ANY, TSET, BR)                                        \
    X(REF_PUSH_TREF_VREF, 0x70, FUSE_ANY, REF, PUSH, TREF, VREF)                \
    X(REF_PUSH_TREF_PUSH, 0x8E, FUSE_ANY, REF, PUSH, TREF, PUSH)                \
    X(PUSH_REF, 0x71, FUSE_ANY, PUSH, REF)                                      \
    X(REF_PUSH, 0x74, FUSE_ANY, REF, PUSH)                                      \
    X(TREF_PUSH_TREF_PUSH_LIT_VSET, 0x75, FUSE_ANY, TREF, PUSH, TREF, PUSH, LIT, VSET)  \
    X(TREF_PUSH_TREF_PUSH_TREF_VSET, 0x76, FUSE_ANY, TREF, PUSH, TREF, PUSH, TREF, VSET) \
    X(TREF_PUSH_TREF_VREF, 0x77, FUSE_ANY, TREF, PUSH, TREF, VREF)                      \
    X(TREF_PUSH_TREF_PUSH, 0x8F, FUSE_ANY, TREF, PUSH, TREF, PUSH)                      \
    X(MREF_PUSH_LIT_ADD, 0x39, FUSE_ANY, MREF, PUSH, LIT, ADD)                          \
    X(MREF_PUSH_LIT_SUB, 0x3A, FUSE_ANY, MREF, PUSH, LIT, SUB)                          \
    X(MREF_PUSH_AREF_ADD, 0x3B, FUSE_ANY, MREF, PUSH, AREF, ADD)                        \
    X(MREF_PUSH_AREF_SUB, 0x3C, FUSE_ANY, MREF, PUSH, AREF, SUB)                        \
    X(TREF_PUSH_LIT_PUSH_LIT_SEND, 0x3D, FUSE_ANY, TREF, PUSH, LIT, PUSH, LIT, SEND)    \
    X(TREF_PUSH_LIT_PUSH_TREF_SEND, 0x3E, FUSE_ANY, TREF, PUSH, LIT, PUSH, TREF, SEND)  \
    X(TREF_PUSH_LIT_SEND, 0x3F, FUSE_ANY, TREF, PUSH, LIT, SEND)                        \
    X(MSET_MREF, 0x84, FUSE_SAME, MSET, MREF)                                             \
    X(TSET_TREF, 0x85, FUSE_SAME, TSET, TREF)                                             \
    X(TREF_PUSH_TREF_ADD_TSET_BR, 0x86, FUSE_SAME, TREF, PUSH, TREF, ADD, TSET, BR)       \
    X(TREF_PUSH_LIT_ADD_TSET_BR, 0x87, FUSE_SAME, TREF, PUSH, LIT, ADD, TSET, BR)         \
    X(BR_BACK, 0x88, FUSE_BACK, BR)                                                  \
    X(BR_AHEAD, 0x89, FUSE_AHEAD, BR)                                                \
    X(BRT_BACK, 0x8A, FUSE_BACK, BRT)                                                \
    X(BRF_BACK, 0x8B, FUSE_BACK, BRF)                                                \
    X(BRT_AHEAD, 0x8C, FUSE_AHEAD, BRT)                                              \
    X(BRF_AHEAD, 0x8D, FUSE_AHEAD, BRF)                                              \
    X(TREF_PUSH_TREF_ADD, 0x90, FUSE_ANY, TREF, PUSH, TREF, ADD)                \
    X(TREF_PUSH_TREF_SUB, 0x91, FUSE_ANY, TREF, PUSH, TREF, SUB)                \
    X(TREF_PUSH_TREF_MUL, 0x92, FUSE_ANY, TREF, PUSH, TREF, MUL)                \
    X(TREF_PUSH_TREF_DIV, 0x93, FUSE_ANY, TREF, PUSH, TREF, DIV)                \
    X(TREF_PUSH_TREF_REM, 0x94, FUSE_ANY, TREF, PUSH, TREF, REM)                \
    X(TREF_PUSH_TREF_BAND, 0x95, FUSE_ANY, TREF, PUSH, TREF, BAND)              \
    X(TREF_PUSH_TREF_LT, 0x96, FUSE_ANY, TREF, PUSH, TREF, LT)                  \
    X(TREF_PUSH_TREF_LE, 0x97, FUSE_ANY, TREF, PUSH, TREF, LE)                  \
    X(TREF_PUSH_TREF_GT, 0x98, FUSE_ANY, TREF, PUSH, TREF, GT)                  \
    X(TREF_PUSH_TREF_GE, 0x99, FUSE_ANY, TREF, PUSH, TREF, GE)                  \
    X(TREF_PUSH_TREF_EQ, 0x9A, FUSE_ANY, TREF, PUSH, TREF, EQ)                  \
    X(TREF_PUSH_TREF_NE, 0x9B, FUSE_ANY, TREF, PUSH, TREF, NE)                  \
    X(TREF_PUSH_LIT_ADD, 0x9C, FUSE_ANY, TREF, PUSH, LIT, ADD)                  \
    X(TREF_PUSH_LIT_SUB, 0x9D, FUSE_ANY, TREF, PUSH, LIT, SUB)                  \
    X(TREF_PUSH_LIT_MUL, 0x9E, FUSE_ANY, TREF, PUSH, LIT, MUL)                  \
    X(TREF_PUSH_LIT_DIV, 0x9F, FUSE_ANY, TREF, PUSH, LIT, DIV)                  \
    X(TREF_PUSH_LIT_REM, 0xA0, FUSE_ANY, TREF, PUSH, LIT, REM)                  \
    X(TREF_PUSH_LIT_BAND, 0xA1, FUSE_ANY, TREF, PUSH, LIT, BAND)                \
    X(TREF_PUSH_LIT_LT, 0xA2, FUSE_ANY, TREF, PUSH, LIT, LT)                    \
    X(TREF_PUSH_LIT_LE, 0xA3, FUSE_ANY, TREF, PUSH, LIT, LE)                    \
    X(TREF_PUSH_LIT_GT, 0xA4, FUSE_ANY, TREF, PUSH, LIT, GT)                    \
    X(TREF_PUSH_LIT_GE, 0xA5, FUSE_ANY, TREF, PUSH, LIT, GE)                    \
    X(TREF_PUSH_LIT_EQ, 0xA6, FUSE_ANY, TREF, PUSH, LIT, EQ)                    \
    X(TREF_PUSH_LIT_NE, 0xA7, FUSE_ANY, TREF, PUSH, LIT, NE)                    \
    X(AREF_PUSH_TREF_ADD, 0xA8, FUSE_ANY, AREF, PUSH, TREF, ADD)                \
    X(AREF_PUSH_TREF_SUB, 0xA9, FUSE_ANY, AREF, PUSH, TREF, SUB)                \
    X(AREF_PUSH_TREF_MUL, 0xAA, FUSE_ANY, AREF, PUSH, TREF, MUL)                \
    X(AREF_PUSH_TREF_DIV, 0xAB, FUSE_ANY, AREF, PUSH, TREF, DIV)                \
    X(AREF_PUSH_TREF_REM, 0xAC, FUSE_ANY, AREF, PUSH, TREF, REM)                \
    X(AREF_PUSH_TREF_BAND, 0xAD, FUSE_ANY, AREF, PUSH, TREF, BAND)              \
    X(AREF_PUSH_TREF_LT, 0xAE, FUSE_ANY, AREF, PUSH, TREF, LT)                  \
    X(AREF_PUSH_TREF_LE, 0xAF, FUSE_ANY, AREF, PUSH, TREF, LE)                  \
    X(AREF_PUSH_TREF_GT, 0xB0, FUSE_ANY, AREF, PUSH, TREF, GT)                  \
    X(AREF_PUSH_TREF_GE, 0xB1, FUSE_ANY, AREF, PUSH, TREF, GE)                  \
    X(AREF_PUSH_TREF_EQ, 0xB2, FUSE_ANY, AREF, PUSH, TREF, EQ)                  \
    X(AREF_PUSH_TREF_NE, 0xB3, FUSE_ANY, AREF, PUSH, TREF, NE)                  \
    X(AREF_PUSH_LIT_ADD, 0xB4, FUSE_ANY, AREF, PUSH, LIT, ADD)                  \
    X(AREF_PUSH_LIT_SUB, 0xB5, FUSE_ANY, AREF, PUSH, LIT, SUB)                  \
    X(AREF_PUSH_LIT_MUL, 0xB6, FUSE_ANY, AREF, PUSH, LIT, MUL)                  \
    X(AREF_PUSH_LIT_DIV, 0xB7, FUSE_ANY, AREF, PUSH, LIT, DIV)                  \
    X(AREF_PUSH_LIT_REM, 0xB8, FUSE_ANY, AREF, PUSH, LIT, REM)                  \
    X(AREF_PUSH_LIT_BAND, 0xB9, FUSE_ANY, AREF, PUSH, LIT, BAND)                \
    X(AREF_PUSH_LIT_LT, 0xBA, FUSE_ANY, AREF, PUSH, LIT, LT)                    \
    X(AREF_PUSH_LIT_LE, 0xBB, FUSE_ANY, AREF, PUSH, LIT, LE)                    \
    X(AREF_PUSH_LIT_GT, 0xBC, FUSE_ANY, AREF, PUSH, LIT, GT)                    \
    X(AREF_PUSH_LIT_GE, 0xBD, FUSE_ANY, AREF, PUSH, LIT, GE)                    \
    X(AREF_PUSH_LIT_EQ, 0xBE, FUSE_ANY, AREF, PUSH, LIT, EQ)                    \
    X(AREF_PUSH_LIT_NE, 0xBF, FUSE_ANY, AREF, PUSH, LIT, NE)       

enum KvoFusedOpCode : std::uint8_t {
#define KVO_FUSED_OPCODE_ENUM(name, code, ...) name = code,
    KVO_FUSED_OPCODES(KVO_FUSED_OPCODE_ENUM)
#undef KVO_FUSED_OPCODE_ENUM
};
// The loop tells the conditional jumps by their distance from BRT_BACK.
static_assert(BRF_BACK == BRT_BACK + 1 && BRT_AHEAD == BRT_BACK + 2 && BRF_AHEAD == BRT_BACK + 3,
              "the conditional jumps of known target in a row");

constexpr int KVO_FUSED_OPCODE_COUNT = 0
#define KVO_FUSED_OPCODE_COUNT_ONE(name, ...) +1
    KVO_FUSED_OPCODES(KVO_FUSED_OPCODE_COUNT_ONE)
#undef KVO_FUSED_OPCODE_COUNT_ONE
    ;

// The longest sequence that one internal instruction stands for.
constexpr int KVO_FUSED_MAX_LENGTH = 6;

// One internal instruction: its code and the designed sequence it stands for (KVO_NO_OPCODE
// after its last opcode).
struct KvoFusedSequence {
    std::uint8_t code;
    std::uint8_t opcodes[KVO_FUSED_MAX_LENGTH];
    KvoFusedCondition condition;

    template <typename... Opcodes>
    static constexpr KvoFusedSequence make(std::uint8_t code, KvoFusedCondition condition, Opcodes... designed)
    {
        static_assert(sizeof...(designed) <= KVO_FUSED_MAX_LENGTH, "a sequence of at most KVO_FUSED_MAX_LENGTH");
        KvoFusedSequence fused{code, {}, condition};
        const std::uint8_t list[] = {static_cast<std::uint8_t>(designed)..., KVO_NO_OPCODE};
        for (int i = 0; i < KVO_FUSED_MAX_LENGTH; ++i)
            fused.opcodes[i] = i < static_cast<int>(sizeof...(designed)) ? list[i] : KVO_NO_OPCODE;
        return fused;
    }
};
// The internal instructions in list order, which is the order of preference: a longer
// sequence comes before its beginning.
inline constexpr KvoFusedSequence KVO_FUSED_LIST[] = {
#define KVO_FUSED_OPCODE_ENTRY(name, code, ...) KvoFusedSequence::make(name, __VA_ARGS__),
    KVO_FUSED_OPCODES(KVO_FUSED_OPCODE_ENTRY)
#undef KVO_FUSED_OPCODE_ENTRY
};

// Size in bytes of an address operand.
constexpr unsigned KVO_ADDRESS_SIZE = 4;

namespace kvo_opcode_detail {
struct OpcodeInfo {
    const KvoChar* mnemonic;
    KvoOperandKind kind;
};
// One entry per byte value; a null mnemonic marks an undefined opcode.
struct OpcodeTable {
    OpcodeInfo entries[256];
    constexpr OpcodeTable() : entries()
    {
        for (auto& e : entries)
            e = OpcodeInfo{nullptr, KvoOperandKind::NONE};
#define KVO_OPCODE_INFO(name, code, kind) entries[code] = OpcodeInfo{u## #name, KvoOperandKind::kind};
        KVO_OPCODES(KVO_OPCODE_INFO)
#undef KVO_OPCODE_INFO
    }
};
inline constexpr OpcodeTable OPCODE_TABLE{};
} // namespace kvo_opcode_detail

// The mnemonic of an opcode ("PUSH", "SEND" ...); "<unknown>" for a byte value that is not an
// opcode. The text is static.
constexpr const KvoChar* getOpcodeMnemonic(std::uint8_t op)
{
    const KvoChar* m = kvo_opcode_detail::OPCODE_TABLE.entries[op].mnemonic;
    return m ? m : u"<unknown>";
}

// True when the byte value is a defined opcode.
constexpr bool isOpcode(std::uint8_t op)
{
    return kvo_opcode_detail::OPCODE_TABLE.entries[op].mnemonic != nullptr;
}

// The operand kind of an opcode; NONE for undefined byte values.
constexpr KvoOperandKind getOperandKind(std::uint8_t op)
{
    return kvo_opcode_detail::OPCODE_TABLE.entries[op].kind;
}

// The operand width that a width instruction selects (RBYTE 1, RWORD 2, RDWORD 4); 0 for any
// other opcode.
constexpr unsigned getWidthOf(std::uint8_t op)
{
    return op == RBYTE ? 1u : op == RWORD ? 2u : op == RDWORD ? 4u : 0u;
}

// Reads an unsigned little-endian operand of width 1, 2 or 4 bytes from code, byte by byte
// (operands need no alignment). The caller has checked that width bytes are available.
inline std::uint32_t readOperand(const std::uint8_t* code, unsigned width) noexcept
{
    std::uint32_t value = code[0];
    if (width >= 2) {
        value |= std::uint32_t(code[1]) << 8;
        if (width == 4) {
            value |= std::uint32_t(code[2]) << 16;
            value |= std::uint32_t(code[3]) << 24;
        }
    }
    return value;
}

// Reads a 4-byte address operand.
inline std::uint32_t readAddress(const std::uint8_t* code) noexcept
{
    return readOperand(code, KVO_ADDRESS_SIZE);
}

static_assert(getOpcodeMnemonic(SEND)[0] == u'S' && getOpcodeMnemonic(0x39)[0] == u'<', "mnemonic table");
static_assert(getOperandKind(LIT) == KvoOperandKind::INDEXED && getOperandKind(TRY) == KvoOperandKind::ADDRESS &&
                  getOperandKind(RWORD) == KvoOperandKind::WIDTH && getOperandKind(0xFF) == KvoOperandKind::NONE,
              "operand kinds");

namespace kvo_opcode_detail {
// For each byte value: the designed opcode that an execution form's byte stands for when one
// instruction at a time is wanted (the first of an internal instruction's sequence), else the
// byte itself.
struct DesignedOpcodeTable {
    std::uint8_t entries[256];
    constexpr DesignedOpcodeTable() : entries()
    {
        for (int i = 0; i < 256; ++i)
            entries[i] = static_cast<std::uint8_t>(i);
        for (const KvoFusedSequence& fused : KVO_FUSED_LIST) {
            if (fused.opcodes[0] != KVO_NO_OPCODE)
                entries[fused.code] = fused.opcodes[0];
        }
    }
};
inline constexpr DesignedOpcodeTable DESIGNED_OPCODE_TABLE{};

constexpr bool fusedCodesAreFree()
{
    for (const KvoFusedSequence& fused : KVO_FUSED_LIST) {
        if (isOpcode(fused.code) || fused.code == KVO_NO_OPCODE)
            return false;
    }
    return true;
}
} // namespace kvo_opcode_detail
static_assert(kvo_opcode_detail::fusedCodesAreFree(), "internal instructions use byte values that are no opcode");

// The designed opcode that an execution form's byte stands for.
constexpr std::uint8_t designedOpcodeOf(std::uint8_t op)
{
    return kvo_opcode_detail::DESIGNED_OPCODE_TABLE.entries[op];
}

namespace kvo_opcode_detail {
// For each byte value: whether it is an internal instruction's code.
struct FusedCodeTable {
    bool entries[256];
    constexpr FusedCodeTable() : entries()
    {
        for (const KvoFusedSequence& fused : KVO_FUSED_LIST)
            entries[fused.code] = true;
    }
};
inline constexpr FusedCodeTable FUSED_CODE_TABLE{};
} // namespace kvo_opcode_detail

// True when the byte value is an internal instruction of the execution form.
constexpr bool isFusedOpcode(std::uint8_t op)
{
    return kvo_opcode_detail::FUSED_CODE_TABLE.entries[op];
}
