// KvoCompiler: literal expressions, the constant expressions evaluated while they are parsed
// (directive values, class variable initialisers, parameter defaults, static locals, and the
// vector, dictionary and "#(...)" literals of expressions). No code is emitted. Levels, lowest
// precedence first:
//   1 "?:"   2 "||"   3 "&&"   4 "|"   5 "^"   6 "&"   7 "==" "!="   8 "<" "<=" ">" ">="
//   9 "<<" ">>"   10 "+" "-"   11 "*" "/" "%"   12 prefix "-" "!" "~"   13 "(" literal ")" or value
// Both operands are always evaluated (no short-circuit). Each function takes the first token of
// its operand, already read, and stores the result in value; problems are counted diagnostics.
#include "compiler/KvoCompiler.h"

#include <cmath>
#include <cstdint>

#include "compiler/KvoCompilerMessages.h"
#include "compiler/KvoFuncContext.h"
#include "compiler/KvoScanner.h"
#include "compiler/KvoVarInfo.h"
#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

bool isIntegerValue(const KvoValue& v)
{
    return v.getType() == KVT_INTEGER;
}
bool isFloatValue(const KvoValue& v)
{
    return v.getType() == KVT_FLOAT;
}
bool isDoubleValue(const KvoValue& v)
{
    return v.getType() == KVT_DOUBLE;
}
bool isNumberValue(const KvoValue& v)
{
    return isIntegerValue(v) || isFloatValue(v) || isDoubleValue(v);
}
bool isStringValue(const KvoValue& v)
{
    return v.getType() == KVT_STRING || v.getType() == KVT_STRINGREF;
}

// The "integer value" of any literal value: numbers converted, null 0, anything else the payload.
std::int32_t integerOf(const KvoValue& v)
{
    return v.getLong();
}

// A number as double; any other value contributes its integer value.
double doubleOf(const KvoValue& v)
{
    return isNumberValue(v) ? v.getDouble() : static_cast<double>(integerOf(v));
}

// A number as float; any other non-double value contributes its integer value.
float floatOf(const KvoValue& v)
{
    return isNumberValue(v) ? v.getFloat() : static_cast<float>(integerOf(v));
}

int signOf(double difference)
{
    return difference < 0 ? -1 : difference > 0 ? 1 : 0;
}

// The sign of a - b computed without overflow.
int signOfDifference(std::int32_t a, std::int32_t b)
{
    std::int64_t difference = std::int64_t(a) - std::int64_t(b);
    return difference < 0 ? -1 : difference > 0 ? 1 : 0;
}

// Negative, zero or positive as a compares to b, by the type of a.
int compareLiterals(const KvoValue& a, const KvoValue& b)
{
    if (a.isNull())
        return b.isNull() ? 0 : -1;
    if (isIntegerValue(a)) {
        if (isFloatValue(b) || isDoubleValue(b))
            return signOf(a.getDouble() - b.getDouble());
        return signOfDifference(a.getLong(), integerOf(b));
    }
    if (isFloatValue(a) || isDoubleValue(a))
        return signOf(a.getDouble() - doubleOf(b));
    if (isStringValue(a)) {
        const KvoString* right = b.getString();
        return a.getString()->compare(right ? *right : KvoString());
    }
    if (b.isNull())
        return 1;
    return signOfDifference(integerOf(a), integerOf(b));
}

KvoValue newString(const KvoString& text)
{
    return KvoValue(new KvoString(text));
}

// 32-bit wrapping arithmetic.
std::int32_t wrap(std::int64_t value)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

// The literal operator of a token (the same table as run-time expressions, by level), or 0.
struct LiteralOperator {
    int level;
    KvoChar op; // '|' '^' '&' '=' (==) '!' (!=) '<' 'l' (<=) '>' 'g' (>=) 'L' (<<) 'R' (>>) '+' '-' '*' '/' '%'
};

LiteralOperator literalOperatorOf(KvoToken token, KvoChar c)
{
    switch (token) {
    case TOK_EQ:
        return {7, u'='};
    case TOK_NE:
        return {7, u'!'};
    case TOK_LE:
        return {8, u'l'};
    case TOK_GE:
        return {8, u'g'};
    case TOK_SHL:
        return {9, u'L'};
    case TOK_SHR:
        return {9, u'R'};
    case TOK_ANY:
        switch (c) {
        case u'|':
            return {4, c};
        case u'^':
            return {5, c};
        case u'&':
            return {6, c};
        case u'<':
        case u'>':
            return {8, c};
        case u'+':
        case u'-':
            return {10, c};
        case u'*':
        case u'/':
        case u'%':
            return {11, c};
        default:
            break;
        }
        break;
    default:
        break;
    }
    return {0, 0};
}

constexpr int FIRST_LITERAL_BINARY_LEVEL = 4;

} // namespace

// literal -> logical-or [ "?" literal ":" literal ]
void KvoCompiler::_doLitExpr(KvoToken token, KvoValue& value)
{
    NestingGuard guard(*this);
    if (!guard.ok())
        return;
    _doLitConditional(token, value);
}

void KvoCompiler::_doLitConditional(KvoToken token, KvoValue& value)
{
    KvoValue condition;
    _doLitLogical(token, condition, TOK_OR);
    token = _next();
    if (!_isChar(token, '?')) {
        _back();
        value = condition;
        return;
    }
    KvoValue first;
    KvoValue second;
    _doLitExpr(_next(), first);
    _fetchRequire(TOK_ANY, ':');
    _doLitExpr(_next(), second);
    value = integerOf(condition) != 0 ? first : second;
}

// logical-or -> logical-and { "||" logical-and }; logical-and -> binary { "&&" binary }.
// "||" yields a when its integer value is non-zero, else b; "&&" yields b then, else a.
void KvoCompiler::_doLitLogical(KvoToken token, KvoValue& value, KvoToken op)
{
    KvoValue left;
    if (op == TOK_OR)
        _doLitLogical(token, left, TOK_AND);
    else
        _doLitBinary(token, left, FIRST_LITERAL_BINARY_LEVEL);
    for (;;) {
        token = _next();
        if (token != op) {
            _back();
            break;
        }
        KvoValue right;
        if (op == TOK_OR)
            _doLitLogical(_next(), right, TOK_AND);
        else
            _doLitBinary(_next(), right, FIRST_LITERAL_BINARY_LEVEL);
        const bool leftTrue = integerOf(left) != 0;
        if (op == TOK_OR ? !leftTrue : leftTrue)
            left = right;
    }
    value = left;
}

// Levels 4 to 11, left-associative, by precedence climbing.
void KvoCompiler::_doLitBinary(KvoToken token, KvoValue& value, int minLevel)
{
    KvoValue left;
    _doLitUnary(token, left);
    for (;;) {
        token = _next();
        const LiteralOperator op = literalOperatorOf(token, token == TOK_ANY ? m_scanner->getChar() : 0);
        if (op.level == 0 || op.level < minLevel) {
            _back();
            break;
        }
        KvoValue right;
        _doLitBinary(_next(), right, op.level + 1);
        switch (op.op) {
        case u'|':
            left = KvoValue(integerOf(left) | integerOf(right));
            break;
        case u'^':
            left = KvoValue(integerOf(left) ^ integerOf(right));
            break;
        case u'&':
            left = KvoValue(integerOf(left) & integerOf(right));
            break;
        case u'=':
        case u'!': {
            const bool equal = compareLiterals(left, right) == 0;
            left = KvoValue(std::int32_t((op.op == u'=') == equal ? 1 : 0));
            break;
        }
        case u'<':
        case u'l':
        case u'>':
        case u'g': {
            const int c = compareLiterals(left, right);
            const bool result = op.op == u'<' ? c < 0 : op.op == u'l' ? c <= 0 : op.op == u'>' ? c > 0 : c >= 0;
            left = KvoValue(std::int32_t(result ? 1 : 0));
            break;
        }
        case u'L':
        case u'R': {
            // Only the low 8 bits of the count are used; counts of 32 and more shift everything out.
            const std::int32_t a = integerOf(left);
            const unsigned count = static_cast<unsigned>(integerOf(right)) & 0xFF;
            std::int32_t result;
            if (op.op == u'L')
                result = count >= 32 ? 0 : static_cast<std::int32_t>(static_cast<std::uint32_t>(a) << count);
            else
                result = count >= 32 ? (a < 0 ? -1 : 0) : (a >> count);
            left = KvoValue(result);
            break;
        }
        default:
            left = _litArithmetic(op.op, left, right);
            break;
        }
    }
    value = left;
}

// "+" "-" "*" "/" "%" with the compile-time type rules.
KvoValue KvoCompiler::_litArithmetic(KvoChar op, const KvoValue& a, const KvoValue& b)
{
    if (op == u'+' && isStringValue(a)) {
        KvoString text(*a.getString());
        if (isStringValue(b))
            text += *b.getString();
        else if (isIntegerValue(b))
            text += static_cast<KvoChar>(b.getLong());
        else
            return a;
        return newString(text);
    }
    if (op == u'+' && isIntegerValue(a) && isStringValue(b)) {
        KvoString text;
        text += static_cast<KvoChar>(a.getLong());
        text += *b.getString();
        return newString(text);
    }
    const bool floating = isFloatValue(a) || isDoubleValue(a) || isFloatValue(b) || isDoubleValue(b);
    if (!isNumberValue(a)) {
        // Any other left operand: "+" and "-" keep it, the others give 0.
        return op == u'+' || op == u'-' ? a : KvoValue(std::int32_t(0));
    }
    if (op == u'%' && floating)
        return KvoValue(std::fmod(doubleOf(a), doubleOf(b)));
    if (isIntegerValue(a) && !isFloatValue(b) && !isDoubleValue(b)) {
        const std::int64_t x = a.getLong();
        const std::int64_t y = integerOf(b);
        switch (op) {
        case u'+':
            return KvoValue(wrap(x + y));
        case u'-':
            return KvoValue(wrap(x - y));
        case u'*':
            return KvoValue(wrap(x * y));
        default:
            if (y == 0) {
                _error(KVO_CMSG_LITERAL_DIVIDE_BY_ZERO);
                return KvoValue(std::int32_t(0));
            }
            // Computed in 64 bits, so INT32_MIN / -1 wraps instead of trapping.
            return KvoValue(wrap(op == u'/' ? x / y : x % y));
        }
    }
    if (isDoubleValue(a) || isDoubleValue(b)) {
        const double x = doubleOf(a);
        const double y = doubleOf(b);
        return KvoValue(op == u'+' ? x + y : op == u'-' ? x - y : op == u'*' ? x * y : x / y);
    }
    const float x = floatOf(a);
    const float y = floatOf(b);
    return KvoValue(op == u'+' ? x + y : op == u'-' ? x - y : op == u'*' ? x * y : x / y);
}

// unary -> [ "-" | "!" | "~" ] primary; one prefix only.
void KvoCompiler::_doLitUnary(KvoToken token, KvoValue& value)
{
    const bool minus = _isChar(token, '-');
    const bool logicalNot = _isChar(token, '!');
    const bool complement = _isChar(token, '~');
    if (!minus && !logicalNot && !complement) {
        _doLiteralValue(token, value);
        return;
    }
    KvoValue operand;
    _doLiteralValue(_next(), operand);
    if (minus) {
        if (isFloatValue(operand))
            value = KvoValue(-operand.getFloat());
        else if (isDoubleValue(operand))
            value = KvoValue(-operand.getDouble());
        else
            value = KvoValue(wrap(-std::int64_t(integerOf(operand))));
    } else if (logicalNot) {
        value = KvoValue(std::int32_t(integerOf(operand) == 0 ? 1 : 0));
    } else {
        value = KvoValue(~integerOf(operand));
    }
}

// value -> string | number | "null" | literal-name | "(" literal ")" | "#" "(" literal ")"
//        | "function" "(" parameters ")" body | "[" values "]" | "{" entries "}"
void KvoCompiler::_doLiteralValue(KvoToken token, KvoValue& value)
{
    switch (token) {
    case TOK_STRING:
        value = KvoValue(new KvoString(m_scanner->getTokenString()));
        return;
    case TOK_LONG:
        value = KvoValue(static_cast<std::int32_t>(m_scanner->getLong()));
        return;
    case TOK_FLOAT:
        value = KvoValue(m_scanner->getDouble());
        return;
    case TOK_NULL:
        value = KvoValue();
        return;
    case TOK_IDENT:
        if (const KvoDictionaryEntry* literal = m_literals->find(m_scanner->getTokenString()))
            value = literal->getValue();
        else
            _error(KVO_CMSG_LITERAL_EXPECTED);
        return;
    case TOK_FUNCTION: {
        KvoValue procedure;
        if (_fetchRequire(TOK_ANY, '(') && _codeFunctionBody(u"anonymous", nullptr, procedure))
            value = procedure;
        return;
    }
    default:
        break;
    }
    if (_isChar(token, '(')) {
        _doLitExpr(_next(), value);
        _fetchRequire(TOK_ANY, ')');
        return;
    }
    if (_isChar(token, '#')) {
        if (_fetchRequire(TOK_ANY, '(')) {
            _doLitExpr(_next(), value);
            _fetchRequire(TOK_ANY, ')');
        }
        return;
    }
    if (_isChar(token, '[') || _isChar(token, '{')) {
        NestingGuard guard(*this);
        if (!guard.ok())
            return;
        if (_isChar(token, '['))
            _doLitVector(value);
        else
            _doLitDictionary(value);
        return;
    }
    // A lexical error was reported where it was read; the bad token stands for the value.
    if (token == TOK_ERROR)
        return;
    _error(KVO_CMSG_LITERAL_EXPECTED);
    if (token == TOK_EOF || _isChar(token, ';') || _isChar(token, '}') || _isChar(token, ')') ||
        _isChar(token, ']') || _isChar(token, ','))
        _back();
}

// vector -> "[" [ literal { "," literal } [ "," ] ] "]", after the "[".
void KvoCompiler::_doLitVector(KvoValue& value)
{
    auto* vector = new KvoVector();
    value = KvoValue(vector);
    KvoToken token = _next();
    if (_isChar(token, ']'))
        return;
    for (;;) {
        KvoValue element;
        const unsigned errorsBefore = m_errorEvents;
        _doLitExpr(token, element);
        if (m_errorEvents != errorsBefore)
            return;
        vector->push_back(element);
        token = _next();
        if (_isChar(token, ']'))
            return;
        if (!_isChar(token, ',')) {
            _error(KVO_CMSG_VECTOR_SEPARATOR);
            if (_isChar(token, '}') || _isChar(token, ';'))
                _back();
            return;
        }
        token = _next();
        if (_isChar(token, ']'))
            return;
    }
}

// dictionary -> "{" [ string ":" literal { "," string ":" literal } [ "," ] ] "}", after the "{".
void KvoCompiler::_doLitDictionary(KvoValue& value)
{
    auto* dictionary = new KvoDictionary(false);
    value = KvoValue(dictionary);
    KvoToken token = _next();
    if (_isChar(token, '}'))
        return;
    for (;;) {
        if (!_require(TOK_STRING, token))
            return;
        const std::u16string key = _tokenText();
        if (!_fetchRequire(TOK_ANY, ':'))
            return;
        KvoValue element;
        const unsigned errorsBefore = m_errorEvents;
        _doLitExpr(_next(), element);
        if (m_errorEvents != errorsBefore)
            return;
        (*dictionary)[key.c_str()]->setValue(element);
        token = _next();
        if (_isChar(token, '}'))
            return;
        if (!_isChar(token, ',')) {
            _error(KVO_CMSG_DICTIONARY_SEPARATOR);
            if (_isChar(token, ';'))
                _back();
            return;
        }
        token = _next();
        if (_isChar(token, '}'))
            return;
    }
}
