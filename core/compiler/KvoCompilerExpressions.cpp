// KvoCompiler: expressions, by recursive descent over the precedence levels (lowest first):
//   1 ","   2 assignments   3 "?:"   4 "||"   5 "&&"   6-13 binary operators   14 prefix
//   15 postfix (call, index, "++"/"--", "->")   then primaries.
// Each level receives a KvoVarInfo describing where the value compiled so far lives; a level that
// needs the value as an operand loads it first, one that assigns uses the lvalue kinds. The value
// of a finished expression is in the top stack slot, and every expression leaves the stack as it
// found it apart from that slot.
#include "compiler/KvoCompiler.h"

#include "compiler/KvoCompilerMessages.h"
#include "compiler/KvoFuncContext.h"
#include "compiler/KvoScanner.h"
#include "compiler/KvoVarInfo.h"
#include "platform/KvoText.h"
#include "values/KvoClass.h"
#include "vm/KvoProcedure.h"

namespace {

// A binary operator of levels 6 to 13 and its instruction; level 0 for any other token.
struct BinaryOperator {
    int level;
    KvoOpCode op;
};

BinaryOperator binaryOperatorOf(KvoToken token, KvoChar c)
{
    switch (token) {
    case TOK_EQ:
        return {9, EQ};
    case TOK_NE:
        return {9, NE};
    case TOK_LE:
        return {10, LE};
    case TOK_GE:
        return {10, GE};
    case TOK_SHL:
        return {11, SHL};
    case TOK_SHR:
        return {11, SHR};
    case TOK_ANY:
        switch (c) {
        case u'|':
            return {6, BOR};
        case u'^':
            return {7, XOR};
        case u'&':
            return {8, BAND};
        case u'<':
            return {10, LT};
        case u'>':
            return {10, GT};
        case u'+':
            return {12, ADD};
        case u'-':
            return {12, SUB};
        case u'*':
            return {13, MUL};
        case u'/':
            return {13, DIV};
        case u'%':
            return {13, REM};
        default:
            break;
        }
        break;
    default:
        break;
    }
    return {0, NOP};
}

constexpr int FIRST_BINARY_LEVEL = 6;

// The combining instruction of a compound assignment; NOP for "=", "=>" and other tokens.
KvoOpCode compoundOperatorOf(KvoToken token)
{
    switch (token) {
    case TOK_ADD_ASSIGN:
        return ADD;
    case TOK_SUB_ASSIGN:
        return SUB;
    case TOK_MUL_ASSIGN:
        return MUL;
    case TOK_DIV_ASSIGN:
        return DIV;
    case TOK_REM_ASSIGN:
        return REM;
    case TOK_BAND_ASSIGN:
        return BAND;
    case TOK_BOR_ASSIGN:
        return BOR;
    case TOK_XOR_ASSIGN:
        return XOR;
    case TOK_SHL_ASSIGN:
        return SHL;
    case TOK_SHR_ASSIGN:
        return SHR;
    default:
        return NOP;
    }
}

} // namespace

// A whole expression, loaded.
void KvoCompiler::_codeExpr(KvoFuncContext& ctx)
{
    KvoVarInfo info;
    _codeExpr1(ctx, info);
    _codeRValue(ctx, info);
}

// expression1 -> expression2 { "," expression2 }: each value replaces the one before.
void KvoCompiler::_codeExpr1(KvoFuncContext& ctx, KvoVarInfo& info)
{
    _codeExpr2(ctx, info);
    for (;;) {
        KvoToken token = _next();
        if (!_isChar(token, ',')) {
            _back();
            return;
        }
        _codeRValue(ctx, info);
        info = KvoVarInfo();
        _codeExpr2(ctx, info);
        _codeRValue(ctx, info);
    }
}

// expression2 -> expression3 [ assignment-operator expression1 ]
void KvoCompiler::_codeExpr2(KvoFuncContext& ctx, KvoVarInfo& info)
{
    NestingGuard guard(*this);
    if (!guard.ok()) {
        info = KvoVarInfo(VAR_VALUE, -1);
        return;
    }
    KvoCodeEmitter& emitter = ctx.emitter();
    _codeExpr3(ctx, info);
    for (;;) {
        KvoToken token = _next();
        const KvoOpCode compound = compoundOperatorOf(token);
        const bool plain = _isChar(token, '=');
        if (!plain && compound == NOP && token != TOK_DOUBLE_ARROW && token != TOK_BNOT_ASSIGN) {
            _back();
            return;
        }
        _checkLValue(info);
        KvoVarInfo right;
        if (compound != NOP) {
            _codeVarInfo(ctx, ACCESS_DUP, info);
            _codeVarInfo(ctx, ACCESS_LOAD, info);
            emitter.emit(PUSH);
            _codeExpr1(ctx, right);
            _codeRValue(ctx, right);
            emitter.emit(compound);
        } else {
            // "=", "=>" (store a reference made from the value) and "~=" (store the complement
            // of the value: x ~= y assigns ~y, as x = ~y would).
            _codeVarInfo(ctx, ACCESS_PUSH, info);
            _codeExpr1(ctx, right);
            _codeRValue(ctx, right);
            if (token == TOK_DOUBLE_ARROW)
                emitter.emit(MKREF);
            else if (token == TOK_BNOT_ASSIGN)
                emitter.emit(BNOT);
        }
        _codeVarInfo(ctx, ACCESS_STORE, info);
        info = KvoVarInfo(VAR_VALUE, -1);
    }
}

// expression3 -> expression4 [ "?" expression1 ":" expression1 ]
void KvoCompiler::_codeExpr3(KvoFuncContext& ctx, KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _codeExpr4(ctx, info);
    for (;;) {
        KvoToken token = _next();
        if (!_isChar(token, '?')) {
            _back();
            return;
        }
        _codeRValue(ctx, info);
        const std::uint32_t otherwise = emitter.emitForward(BRF, 0);
        KvoVarInfo first;
        _codeExpr1(ctx, first);
        _codeRValue(ctx, first);
        _fetchRequire(TOK_ANY, ':');
        const std::uint32_t end = emitter.emitForward(BR, 0);
        emitter.patchChain(otherwise, emitter.offset());
        KvoVarInfo second;
        _codeExpr1(ctx, second);
        _codeRValue(ctx, second);
        emitter.patchChain(end, emitter.offset());
        info = KvoVarInfo(VAR_VALUE, -1);
    }
}

// expression4 -> expression5 { "||" expression5 }: the value that decided is the result.
void KvoCompiler::_codeExpr4(KvoFuncContext& ctx, KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _codeExpr5(ctx, info);
    std::uint32_t chain = 0;
    for (;;) {
        KvoToken token = _next();
        if (token != TOK_OR) {
            _back();
            break;
        }
        _codeRValue(ctx, info);
        chain = emitter.emitForward(BRT, chain);
        KvoVarInfo right;
        _codeExpr5(ctx, right);
        _codeRValue(ctx, right);
        info = KvoVarInfo(VAR_VALUE, -1);
    }
    emitter.patchChain(chain, emitter.offset());
}

// expression5 -> binary { "&&" binary }
void KvoCompiler::_codeExpr5(KvoFuncContext& ctx, KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _codeBinary(ctx, info, FIRST_BINARY_LEVEL);
    std::uint32_t chain = 0;
    for (;;) {
        KvoToken token = _next();
        if (token != TOK_AND) {
            _back();
            break;
        }
        _codeRValue(ctx, info);
        chain = emitter.emitForward(BRF, chain);
        KvoVarInfo right;
        _codeBinary(ctx, right, FIRST_BINARY_LEVEL);
        _codeRValue(ctx, right);
        info = KvoVarInfo(VAR_VALUE, -1);
    }
    emitter.patchChain(chain, emitter.offset());
}

// Levels 6 ("|") to 13 ("*" "/" "%"), all left-associative: operators of level minLevel and
// above, by precedence climbing. Each emits left, PUSH, right, instruction.
void KvoCompiler::_codeBinary(KvoFuncContext& ctx, KvoVarInfo& info, int minLevel)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _codeUnary(ctx, info);
    for (;;) {
        KvoToken token = _next();
        const BinaryOperator op = binaryOperatorOf(token, token == TOK_ANY ? m_scanner->getChar() : 0);
        if (op.level == 0 || op.level < minLevel) {
            _back();
            return;
        }
        _codeRValue(ctx, info);
        emitter.emit(PUSH);
        KvoVarInfo right;
        _codeBinary(ctx, right, op.level + 1);
        _codeRValue(ctx, right);
        emitter.emit(op.op);
        info = KvoVarInfo(VAR_VALUE, -1);
    }
}

// unary -> "new" name arguments | "delete" primary | ( "++" | "--" | "!" | "-" | "~" ) postfix | postfix
void KvoCompiler::_codeUnary(KvoFuncContext& ctx, KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    KvoToken token = _next();
    if (token == TOK_NEW) {
        _codeNew(ctx, info);
        return;
    }
    if (token == TOK_DELETE) {
        _codePrimary(ctx, info);
        _codeRValue(ctx, info);
        emitter.emit(DELETE);
        return;
    }
    if (token == TOK_INC || token == TOK_DEC) {
        _codePostfix(ctx, info);
        _checkLValue(info);
        _codeVarInfo(ctx, ACCESS_DUP, info);
        _codeVarInfo(ctx, ACCESS_LOAD, info);
        emitter.emit(token == TOK_INC ? INC : DEC);
        _codeVarInfo(ctx, ACCESS_STORE, info);
        info = KvoVarInfo(VAR_VALUE, -1);
        return;
    }
    const KvoOpCode prefix = _isChar(token, '!') ? NOT : _isChar(token, '-') ? NEG : _isChar(token, '~') ? BNOT : NOP;
    if (prefix != NOP) {
        _codePostfix(ctx, info);
        _codeRValue(ctx, info);
        emitter.emit(prefix);
        return;
    }
    _back();
    _codePostfix(ctx, info);
}

// postfix -> primary { "(" arguments ")" | "[" expression "]" | "++" | "--" | "->" name "(" arguments ")" }
void KvoCompiler::_codePostfix(KvoFuncContext& ctx, KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _codePrimary(ctx, info);
    for (;;) {
        KvoToken token = _next();
        if (_isChar(token, '(')) {
            _codeRValue(ctx, info);
            emitter.emitIndexed(CALL, _codeArguments(ctx));
        } else if (_isChar(token, '[')) {
            // Container and index stay on the stack until the element is read or written.
            _codeRValue(ctx, info);
            emitter.emit(PUSH);
            _codeExpr(ctx);
            _fetchRequire(TOK_ANY, ']');
            info = KvoVarInfo(VAR_INDEXED, -1);
            continue;
        } else if (token == TOK_INC || token == TOK_DEC) {
            _codePostIncDec(ctx, info, token == TOK_INC ? PINC : PDEC);
        } else if (token == TOK_ARROW) {
            if (!_fetchRequire(TOK_IDENT)) {
                _codeRValue(ctx, info);
                return;
            }
            const std::u16string name = _tokenText();
            _codeMethodCall(ctx, name.c_str(), info);
        } else {
            _back();
            return;
        }
        info = KvoVarInfo(VAR_VALUE, -1);
    }
}

// Postfix "++" / "--": the variable receives the new value, the expression yields the old one.
void KvoCompiler::_codePostIncDec(KvoFuncContext& ctx, KvoVarInfo& info, KvoOpCode op)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _checkLValue(info);
    if (info.kind == VAR_INDEXED) {
        // Container and index are on the stack and VSET needs them directly below the new
        // value, so the old value waits in a nameless temporary, which is cleared afterwards so
        // that it keeps no object alive:
        //   DUP2 VREF TSET h PINC VSET TREF h PUSH NIL TSET h POP
        const std::uint32_t scratch = ctx.scratchTemporary();
        emitter.emit(DUP2);
        emitter.emit(VREF);
        emitter.emitIndexed(TSET, scratch);
        emitter.emit(op);
        emitter.emit(VSET);
        emitter.emitIndexed(TREF, scratch);
        emitter.emit(PUSH);
        emitter.emit(NIL);
        emitter.emitIndexed(TSET, scratch);
        emitter.emit(POP);
    } else {
        _codeVarInfo(ctx, ACCESS_LOAD, info);
        emitter.emit(DUP);
        emitter.emit(op);
        _codeVarInfo(ctx, ACCESS_STORE, info);
        emitter.emit(POP);
    }
    info = KvoVarInfo(VAR_VALUE, -1);
}

// arguments -> [ expression2 { "," expression2 } ] ")", after the "(". Each argument gets a
// slot of its own (PUSH, value). Returns the number of arguments.
std::uint32_t KvoCompiler::_codeArguments(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    std::uint32_t count = 0;
    KvoToken token = _next();
    if (!_isChar(token, ')')) {
        _back();
        do {
            emitter.emit(PUSH);
            KvoVarInfo argument;
            _codeExpr2(ctx, argument);
            _codeRValue(ctx, argument);
            ++count;
            token = _next();
        } while (_isChar(token, ','));
        _require(TOK_ANY, token, ')');
    }
    return count;
}

// A message send: receiver, PUSH, selector, arguments, SEND with the count (receiver included).
void KvoCompiler::_codeMethodCall(KvoFuncContext& ctx, const KvoChar* name, KvoVarInfo& receiver)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _codeRValue(ctx, receiver);
    emitter.emit(PUSH);
    emitter.emitLiteral(kvoStrCmp(name, u"self") == 0 ? PROC_SELF : emitter.internName(name));
    // Without its "(" the argument list is read all the same.
    _fetchRequire(TOK_ANY, '(');
    const std::uint32_t count = 1 + _codeArguments(ctx);
    emitter.emitIndexed(SEND, count);
    receiver = KvoVarInfo(VAR_VALUE, -1);
}

// new -> "new" className "(" arguments ")": a new object, then its constructor (the method named
// like the class) called on it.
void KvoCompiler::_codeNew(KvoFuncContext& ctx, KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    info = KvoVarInfo(VAR_VALUE, -1);
    if (!_fetchRequire(TOK_IDENT))
        return;
    const std::u16string name = _tokenText();
    KvoClass* c = _findClass(name.c_str());
    emitter.emitLiteral(c ? emitter.internClass(c) : emitter.addLiteral(KvoValue()));
    emitter.emit(NEW);
    _codeMethodCall(ctx, name.c_str(), info);
}

// primary -> "null" | number | string | "(" expression1 ")" | vector | dictionary | "#" "(" literal ")"
//          | "function" "(" parameters ")" body | "::" name | literal-name | class "::" member | name
void KvoCompiler::_codePrimary(KvoFuncContext& ctx, KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    info = KvoVarInfo(VAR_VALUE, -1);
    KvoToken token = _next();
    switch (token) {
    case TOK_NULL:
        emitter.emitLiteral(emitter.addLiteral(KvoValue()));
        return;
    case TOK_LONG:
        emitter.emitLiteral(emitter.addLiteral(KvoValue(static_cast<std::int32_t>(m_scanner->getLong()))));
        return;
    case TOK_FLOAT:
        emitter.emitLiteral(emitter.addLiteral(KvoValue(m_scanner->getDouble())));
        return;
    case TOK_STRING:
        emitter.emitLiteral(emitter.addLiteral(KvoValue(new KvoString(m_scanner->getTokenString()))));
        return;
    case TOK_FUNCTION: {
        KvoValue procedure;
        if (_fetchRequire(TOK_ANY, '('))
            _codeFunctionBody(u"anonymous", nullptr, procedure);
        emitter.emitLiteral(emitter.addLiteral(procedure));
        return;
    }
    case TOK_SCOPE: {
        if (!_fetchRequire(TOK_IDENT))
            return;
        const std::u16string name = _tokenText();
        info = _findVariable(name.c_str(), ctx, true);
        return;
    }
    case TOK_IDENT: {
        const std::u16string name = _tokenText();
        if (const KvoDictionaryEntry* literal = m_literals->find(name.c_str())) {
            emitter.emitLiteral(emitter.addLiteral(literal->getValue()));
            return;
        }
        token = _next();
        if (token == TOK_SCOPE) {
            _codeClassMember(ctx, name.c_str(), info);
            return;
        }
        _back();
        info = _findVariable(name.c_str(), ctx, false);
        return;
    }
    default:
        break;
    }
    if (_isChar(token, '(')) {
        // A parenthesised lvalue stays an lvalue.
        _codeExpr1(ctx, info);
        _fetchRequire(TOK_ANY, ')');
        return;
    }
    if (_isChar(token, '[') || _isChar(token, '{') || _isChar(token, '#')) {
        // Vector, dictionary and "#(...)" literals are built once, at compile time.
        KvoValue value;
        _doLiteralValue(token, value);
        emitter.emitLiteral(emitter.addLiteral(value));
        return;
    }
    // A lexical error was reported where it was read; the bad token stands for the operand.
    if (token == TOK_ERROR)
        return;
    _error(KVO_CMSG_PRIMARY_EXPECTED);
    // Leave a token that closes something to the construct it closes.
    if (token == TOK_EOF || _isChar(token, ';') || _isChar(token, '}') || _isChar(token, ')') ||
        _isChar(token, ']') || _isChar(token, ','))
        _back();
}

// class-member -> className "::" name: a class variable or a static method of the class.
void KvoCompiler::_codeClassMember(KvoFuncContext& ctx, const KvoChar* className, KvoVarInfo& info)
{
    info = KvoVarInfo(VAR_VALUE, -1);
    KvoClass* c = _findClass(className);
    KvoToken token = _next();
    if (!c) {
        if (token != TOK_IDENT)
            _back();
        return;
    }
    if (!_require(TOK_IDENT, token))
        return;
    const std::u16string name = _tokenText();
    const KvoDictionaryEntry* member = c->findMember(name.c_str(), true);
    if (!member) {
        _error(KVO_CMSG_NOT_CLASS_MEMBER);
        return;
    }
    if (member->getSymbolType() == SYM_DATAMEMBER || member->getSymbolType() == SYM_METHOD) {
        _error(KVO_CMSG_NOT_STATIC_MEMBER);
        return;
    }
    info = _findClassVariable(name.c_str(), ctx, c);
}

bool KvoCompiler::_checkLValue(const KvoVarInfo& info)
{
    if (info.isLValue())
        return true;
    _error(KVO_CMSG_LVALUE_EXPECTED);
    return false;
}
