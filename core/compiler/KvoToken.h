// KvoToken: the token codes of the scanner and their display texts. KVO_TOKENS is the one list of
// tokens; the enumeration, the display texts and the keyword table are generated from it, so they
// cannot drift apart. Diagnostics print the display texts ("<ident>", "class", "::"), so the
// texts and the codes 0 to 60 are behaviour and never change.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/KvoTypes.h"

// X(enumerator, code, display text, keyword). A token marked as keyword is recognised by the
// scanner when an identifier has exactly its display text; "nil" is the one extra keyword text
// (for TOK_NULL). The words eval, public, protected and private have codes but scan as
// identifiers.
#define KVO_TOKENS(X)                             \
    X(TOK_NOTOKEN, 0, u"<notoken>", false)        \
    X(TOK_ERROR, 1, u"<error>", false)            \
    X(TOK_EOF, 2, u"<eof>", false)                \
    X(TOK_STRING, 3, u"<string>", false)          \
    X(TOK_IDENT, 4, u"<ident>", false)            \
    X(TOK_LONG, 5, u"<long>", false)              \
    X(TOK_FLOAT, 6, u"<float>", false)            \
    X(TOK_CLASS, 7, u"class", true)               \
    X(TOK_STATIC, 8, u"static", true)             \
    X(TOK_IF, 9, u"if", true)                     \
    X(TOK_ELSE, 10, u"else", true)                \
    X(TOK_WHILE, 11, u"while", true)              \
    X(TOK_RETURN, 12, u"return", true)            \
    X(TOK_FOR, 13, u"for", true)                  \
    X(TOK_BREAK, 14, u"break", true)              \
    X(TOK_CONTINUE, 15, u"continue", true)        \
    X(TOK_DO, 16, u"do", true)                    \
    X(TOK_SWITCH, 17, u"switch", true)            \
    X(TOK_CASE, 18, u"case", true)                \
    X(TOK_DEFAULT, 19, u"default", true)          \
    X(TOK_NEW, 20, u"new", true)                  \
    X(TOK_DELETE, 21, u"delete", true)            \
    X(TOK_TRY, 22, u"try", true)                  \
    X(TOK_CATCH, 23, u"catch", true)              \
    X(TOK_THROW, 24, u"throw", true)              \
    X(TOK_VAR, 25, u"var", true)                  \
    X(TOK_FUNCTION, 26, u"function", true)        \
    X(TOK_OPERATOR, 27, u"operator", true)        \
    X(TOK_EVAL, 28, u"eval", false)               \
    X(TOK_PUBLIC, 29, u"public", false)           \
    X(TOK_PROTECTED, 30, u"protected", false)     \
    X(TOK_PRIVATE, 31, u"private", false)         \
    X(TOK_TRON, 32, u"TRON", true)                \
    X(TOK_TROFF, 33, u"TROFF", true)              \
    X(TOK_TRSTEP, 34, u"TRSTEP", true)            \
    X(TOK_NULL, 35, u"null", true)                \
    X(TOK_LE, 36, u"<=", false)                   \
    X(TOK_EQ, 37, u"==", false)                   \
    X(TOK_NE, 38, u"!=", false)                   \
    X(TOK_GE, 39, u">=", false)                   \
    X(TOK_SHL, 40, u"<<", false)                  \
    X(TOK_SHR, 41, u">>", false)                  \
    X(TOK_AND, 42, u"&&", false)                  \
    X(TOK_OR, 43, u"||", false)                   \
    X(TOK_INC, 44, u"++", false)                  \
    X(TOK_DEC, 45, u"--", false)                  \
    X(TOK_ADD_ASSIGN, 46, u"+=", false)           \
    X(TOK_SUB_ASSIGN, 47, u"-=", false)           \
    X(TOK_MUL_ASSIGN, 48, u"*=", false)           \
    X(TOK_DIV_ASSIGN, 49, u"/=", false)           \
    X(TOK_REM_ASSIGN, 50, u"%=", false)           \
    X(TOK_BAND_ASSIGN, 51, u"&=", false)          \
    X(TOK_BOR_ASSIGN, 52, u"|=", false)           \
    X(TOK_XOR_ASSIGN, 53, u"^=", false)           \
    X(TOK_BNOT_ASSIGN, 54, u"~=", false)          \
    X(TOK_SHL_ASSIGN, 55, u"<<=", false)          \
    X(TOK_SHR_ASSIGN, 56, u">>=", false)          \
    X(TOK_DOUBLE_ARROW, 57, u"=>", false)         \
    X(TOK_SCOPE, 58, u"::", false)                \
    X(TOK_ARROW, 59, u"->", false)                \
    X(TOK_ANY, 60, u"<any>", false)

// The token codes. TOK_ANY is the single-character token: any character that starts no other
// token; the scanner's getChar() tells which.
enum KvoToken : std::int32_t {
#define KVO_TOKEN_ENUM(name, code, text, keyword) name = code,
    KVO_TOKENS(KVO_TOKEN_ENUM)
#undef KVO_TOKEN_ENUM
};

// Number of token codes (0 .. KVO_TOKEN_COUNT - 1).
constexpr int KVO_TOKEN_COUNT = 0
#define KVO_TOKEN_COUNT_ONE(name, code, text, keyword) +1
    KVO_TOKENS(KVO_TOKEN_COUNT_ONE)
#undef KVO_TOKEN_COUNT_ONE
    ;

static_assert(KVO_TOKEN_COUNT == 61 && TOK_ANY == 60, "the token codes run from 0 to 60");
static_assert(TOK_ERROR == 1 && TOK_EOF == 2 && TOK_IDENT == 4 && TOK_CLASS == 7 && TOK_OPERATOR == 27 &&
                  TOK_NULL == 35 && TOK_LE == 36 && TOK_SHR_ASSIGN == 56 && TOK_ARROW == 59,
              "token codes are fixed");

// The display text of a token: "<ident>", "class", "::" ...; "<any>" for TOK_ANY (the scanner's
// getTokenName gives the character instead); "invalid token" for a code outside 0 to 60. The
// text is static.
KVO_API const KvoChar* kvoTokenText(KvoToken token) noexcept;

// The keyword token for length units of text (exact, case-sensitive match against the keyword
// texts, including "nil" for TOK_NULL), or TOK_IDENT when the text is no keyword.
KVO_API KvoToken kvoFindKeyword(const KvoChar* text, std::size_t length) noexcept;
