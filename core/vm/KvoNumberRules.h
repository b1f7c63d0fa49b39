// The rules of number arithmetic, in one place for the instruction loop's fast paths and the
// operator functions (KvoOperators.cpp), so that both give the same answer for every operand:
// integers wrap at 32 bits (INT_MIN / -1 wraps, INT_MIN % -1 is 0), shifts use the low 8 bits
// of the count and 32 and more shift everything out, a double divisor is zero only when all its
// 64 bits are, and numbers of different kinds compare by the sign of their difference.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "vm/KvoOpCode.h"

namespace kvo_numbers {

inline std::int32_t wrapAdd(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapSub(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
inline std::int32_t wrapMul(std::int32_t a, std::int32_t b) noexcept
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
// DIV and REM of two integers; b is not 0.
inline std::int32_t integerDivide(std::int32_t a, std::int32_t b) noexcept
{
    return b == -1 ? wrapSub(0, a) : a / b;
}
inline std::int32_t integerRemainder(std::int32_t a, std::int32_t b) noexcept
{
    return b == -1 ? 0 : a % b;
}

// ADD, SUB, MUL, DIV or REM of two integers (for DIV and REM, b is not 0).
[[gnu::always_inline]] inline std::int32_t integerArithmetic(std::uint8_t op, std::int32_t a, std::int32_t b) noexcept
{
    switch (op) {
    case ADD:
        return wrapAdd(a, b);
    case SUB:
        return wrapSub(a, b);
    case MUL:
        return wrapMul(a, b);
    case DIV:
        return integerDivide(a, b);
    default: // REM
        return integerRemainder(a, b);
    }
}

// BAND, BOR, XOR, SHL or SHR (sign-propagating) of two integers.
[[gnu::always_inline]] inline std::int32_t integerBitwise(std::uint8_t op, std::int32_t a, std::int32_t b) noexcept
{
    unsigned count = static_cast<unsigned>(b) & 0xFF;
    switch (op) {
    case BAND:
        return a & b;
    case BOR:
        return a | b;
    case XOR:
        return a ^ b;
    case SHL:
        return count >= 32 ? 0 : static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << count);
    default: // SHR
        return count >= 32 ? (a < 0 ? -1 : 0) : (a >> count);
    }
}

// The arithmetic operators on floats; the remainder is computed in double precision.
inline float floatArithmetic(std::uint8_t op, float a, float b) noexcept
{
    switch (op) {
    case ADD:
        return a + b;
    case SUB:
        return a - b;
    case MUL:
        return a * b;
    case DIV:
        return a / b;
    default:
        return static_cast<float>(std::fmod(static_cast<double>(a), static_cast<double>(b)));
    }
}

[[gnu::always_inline]] inline double doubleArithmetic(std::uint8_t op, double a, double b) noexcept
{
    switch (op) {
    case ADD:
        return a + b;
    case SUB:
        return a - b;
    case MUL:
        return a * b;
    case DIV:
        return a / b;
    default:
        return std::fmod(a, b);
    }
}

// A double divisor is zero when all its 64 bits are (-0.0 is not), a float one when its 32 are.
inline bool isZeroDouble(double d) noexcept
{
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits == 0;
}
inline bool isZeroFloat(float f) noexcept
{
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits == 0;
}

// The comparison value of two integers: the sign of the true difference (a 32-bit difference
// could wrap).
[[gnu::always_inline]] inline int compareIntegers(std::int32_t a, std::int32_t b) noexcept
{
    return (a > b) - (a < b);
}
// The comparison value of two numbers of which one is not an integer: the sign of the
// difference in double precision (a NaN difference compares equal).
[[gnu::always_inline]] inline int compareAsDoubles(double a, double b) noexcept
{
    double d = a - b;
    return (d > 0) - (d < 0);
}

// Whether a comparison value satisfies the comparison instruction op (LT, LE, GE, GT, EQ, NE).
[[gnu::always_inline]] inline bool comparisonHolds(std::uint8_t op, int comparison) noexcept
{
    switch (op) {
    case LT:
        return comparison < 0;
    case LE:
        return comparison <= 0;
    case GE:
        return comparison >= 0;
    case GT:
        return comparison > 0;
    case EQ:
        return comparison == 0;
    default: // NE
        return comparison != 0;
    }
}

// The same for two integers, compared directly: the answer of comparisonHolds(op,
// compareIntegers(a, b)).
[[gnu::always_inline]] inline bool integersCompare(std::uint8_t op, std::int32_t a, std::int32_t b) noexcept
{
    switch (op) {
    case LT:
        return a < b;
    case LE:
        return a <= b;
    case GE:
        return a >= b;
    case GT:
        return a > b;
    case EQ:
        return a == b;
    default: // NE
        return a != b;
    }
}

} // namespace kvo_numbers
