// KvoCompiler: function bodies (prologue, epilogue, parameters, local-variable information), the
// var and static definitions, name resolution and the code that reads and writes each kind of
// variable, and source-line records.
#include "compiler/KvoCompiler.h"

#include "compiler/KvoCompilerMessages.h"
#include "compiler/KvoFuncContext.h"
#include "compiler/KvoScanner.h"
#include "compiler/KvoVarInfo.h"
#include "platform/KvoText.h"
#include "values/KvoBuffer.h"
#include "values/KvoClass.h"
#include "vm/KvoDebugger.h"
#include "vm/KvoProcedure.h"

namespace {

// Offset of the patchable 4-byte TSPACE operand in the prologue RDWORD TSPACE n n n n RBYTE.
constexpr std::uint32_t TSPACE_OPERAND = 2;

} // namespace

// function-body -> parameters [ ";" locals ] ")" "{" block, after the "(".
// parameters -> [ [ "var" ] name [ "=" literal ] { "," [ "var" ] name [ "=" literal ] } ]
bool KvoCompiler::_codeFunctionBody(const KvoChar* name, KvoClass* c, KvoValue& procedure)
{
    NestingGuard guard(*this);
    if (!guard.ok())
        return false;

    KvoFuncContext ctx(c, name);
    KvoCodeEmitter& emitter = ctx.emitter();
    if (c) {
        ctx.arguments().add(u"this");
        emitter.defaults().push_back(KvoValue());
    }
    _getIdList(ctx.arguments(), u";)", &emitter.defaults());
    KvoToken token = _next();
    if (_isChar(token, ';'))
        _getIdList(ctx.temporaries(), u")", nullptr);
    else
        _back();
    if (!_fetchRequire(TOK_ANY, ')'))
        return false;

    // Each procedure reports the line of its first statement, also when an enclosing function or
    // the function before it ended on that line.
    const std::int32_t savedLine = m_lastLine;
    const KvoString savedSource = m_lastSource;
    m_lastLine = -1;

    // TSPACE always in the 4-byte form, so that its count can be patched at the end.
    emitter.emitIndexed(TSPACE, ctx.temporaries().size(), true);
    emitter.emit(PUSH);
    // Without its "{" the body is compiled all the same, up to the "}" that ends it.
    _fetchRequire(TOK_ANY, '{');
    _codeBlock(ctx);

    const KvoString* className = c ? c->getClassName() : nullptr;
    if (className && kvoStrCmp(name, className->c_str()) == 0) {
        // A constructor returns the new object.
        emitter.emitIndexed(AREF, 0);
    } else if (c && c->getBaseClass() && kvoStrCmp(name, u"dtor") == 0) {
        // A destructor ends by running the base class's destructor.
        emitter.emit(PUSH);
        emitter.emitIndexed(AREF, 0);
        emitter.emit(PUSH);
        emitter.emitLiteral(emitter.internName(u"BC_dtor"));
        emitter.emitIndexed(SEND, 1);
    }
    emitter.emit(RETURN);
    emitter.patchWord(TSPACE_OPERAND, ctx.temporaries().size());
    if (m_generateLocalVarInfo)
        emitter.addLiteral(_localVarInfo(ctx));
    emitter.finish();
    if (m_debugger)
        m_debugger->decodeProcedure(&emitter.procedure());

    m_lastLine = savedLine;
    m_lastSource = savedSource;
    procedure = emitter.procedureValue();
    return true;
}

KvoValue KvoCompiler::_localVarInfo(KvoFuncContext& ctx)
{
    auto* temporaries = new KvoVector(ctx.temporaries().names());
    KvoValue temporariesValue(temporaries);
    if (ctx.statics().count() > 0) {
        auto* statics = new KvoDictionary(false);
        KvoValue staticsValue(statics);
        for (const KvoDictionaryEntry* e = ctx.statics().getFirst(); e; e = e->getNext()) {
            KvoDictionaryEntry* copy = (*statics)[e->getKey()];
            copy->setValue(e->getValue());
            copy->setSymbolType(e->getSymbolType());
        }
        temporaries->push_back(staticsValue);
    }
    auto* info = new KvoVector(2, false);
    info->push_back(KvoValue(new KvoVector(ctx.arguments().names())));
    info->push_back(temporariesValue);
    return KvoValue(info, true); // a bytecode-typed vector of two vectors: KVT_LOCALVARINFO
}

// id-list -> [ "var" ] name [ "=" literal ] { "," [ "var" ] name [ "=" literal ] }
// Defaults are read only when defaults is given. Returns the number of names added.
std::uint32_t KvoCompiler::_getIdList(KvoNameList& names, const KvoChar* terminators, KvoVector* defaults)
{
    KvoToken token = _next();
    bool terminator = token == TOK_ANY && m_scanner->getChar() != 0 && kvoStrChr(terminators, m_scanner->getChar());
    _back();
    if (terminator)
        return 0;

    std::uint32_t count = 0;
    for (;;) {
        token = _next();
        if (token == TOK_VAR)
            token = _next();
        if (token != TOK_IDENT) {
            _require(TOK_IDENT, token);
            _back();
            return count;
        }
        const std::u16string name = _tokenText();
        const bool duplicate = names.contains(name.c_str());
        if (duplicate) {
            _error(KVO_CMSG_DUPLICATE_IDENTIFIER);
        } else {
            names.add(name.c_str());
            ++count;
        }
        if (defaults) {
            token = _next();
            KvoValue value;
            if (_isChar(token, '=')) {
                _doLitExpr(_next(), value);
            } else {
                _back();
                value.setFlags(KvoNoDefault);
            }
            if (!duplicate)
                defaults->push_back(value);
        }
        token = _next();
        if (!_isChar(token, ',')) {
            _back();
            return count;
        }
    }
}

void KvoCompiler::_reportDefined(KvoFuncContext& ctx, const KvoChar* name)
{
    if (ctx.findStatic(name) >= 0)
        _errorName(KVO_CMSG_STATIC_DEFINED_FORMAT, name);
    else if (ctx.findArgument(name) >= 0)
        _errorName(KVO_CMSG_ARGUMENT_DEFINED_FORMAT, name);
    else if (ctx.findTemporary(name) >= 0)
        _errorName(KVO_CMSG_LOCAL_DEFINED_FORMAT, name);
}

// var-definition -> "var" name [ "=" expression2 ] { "," name [ "=" expression2 ] }, after "var".
void KvoCompiler::_codeVarDefinition(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    KvoBuffer& code = emitter.code();
    const bool shortForm = code.size() >= 2 && code[0] == TSPACE;
    const bool longForm = code.size() >= 6 && code[1] == TSPACE;
    if (!shortForm && !longForm)
        _error(KVO_CMSG_NO_LOCAL_SPACE);

    for (;;) {
        KvoToken token = _next();
        if (!_require(TOK_IDENT, token))
            break;
        const std::u16string name = _tokenText();
        _reportDefined(ctx, name.c_str());
        const std::uint32_t index = ctx.addTemporary(name.c_str());
        token = _next();
        if (_isChar(token, '=')) {
            KvoVarInfo info;
            _codeExpr2(ctx, info);
            _codeRValue(ctx, info);
            emitter.emitIndexed(TSET, index);
            token = _next();
        }
        if (!_isChar(token, ',')) {
            _back();
            break;
        }
    }

    const std::uint32_t count = ctx.temporaries().size();
    if (longForm)
        emitter.patchWord(TSPACE_OPERAND, count);
    else if (shortForm && count <= 0xFF)
        code[1] = static_cast<std::uint8_t>(count);
}

// static-definition -> "static" [ "var" ] name [ "=" literal ] { "," name [ "=" literal ] }
void KvoCompiler::_codeStaticVarDefinition(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    KvoToken token = _next();
    if (token != TOK_VAR)
        _back();
    for (;;) {
        token = _next();
        if (!_require(TOK_IDENT, token))
            break;
        const std::u16string name = _tokenText();
        _reportDefined(ctx, name.c_str());
        // The slot lives in the procedure: initialised once, kept between calls.
        const std::uint32_t slot = emitter.addLiteral(KvoValue());
        KvoDictionaryEntry* entry = ctx.statics()[new KvoString(name.c_str())];
        entry->setValue(KvoValue(static_cast<std::int32_t>(slot)));
        token = _next();
        if (_isChar(token, '=')) {
            KvoValue value;
            _doLitExpr(_next(), value);
            emitter.procedure()[slot] = value;
            token = _next();
        }
        if (!_isChar(token, ',')) {
            _back();
            break;
        }
    }
}

// Resolution order: temporaries, arguments, static locals, members of the class (unless
// skipClass), "self", classes, and finally a global entry (created when new).
KvoVarInfo KvoCompiler::_findVariable(const KvoChar* name, KvoFuncContext& ctx, bool skipClass)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    std::int32_t index = ctx.findTemporary(name);
    if (index >= 0)
        return KvoVarInfo(VAR_TEMPORARY, index);
    index = ctx.findArgument(name);
    if (index >= 0)
        return KvoVarInfo(VAR_ARGUMENT, index);
    index = ctx.findStatic(name);
    if (index >= 0)
        return KvoVarInfo(VAR_STATIC_LOCAL, index);
    if (!skipClass && ctx.owner()) {
        KvoVarInfo member = _findClassVariable(name, ctx, ctx.owner());
        if (member.index >= 0 || member.kind == VAR_VALUE)
            return member;
    }
    if (kvoStrCmp(name, u"self") == 0) {
        emitter.emitLiteral(PROC_SELF);
        return KvoVarInfo(VAR_VALUE, -1);
    }
    if (KvoDictionaryEntry* entry = m_classes.find(name)) {
        if (KvoClass* c = entry->getValue().getClass()) {
            emitter.emitLiteral(emitter.internClass(c));
            return KvoVarInfo(VAR_VALUE, -1);
        }
    }
    // A name defined nowhere yet becomes a global variable; a later definition fills the entry.
    KvoDictionaryEntry* entry = m_symbols[name];
    return KvoVarInfo(VAR_GLOBAL, static_cast<std::int32_t>(emitter.internEntry(entry)));
}

KvoVarInfo KvoCompiler::_findClassVariable(const KvoChar* name, KvoFuncContext& ctx, KvoClass* c)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    KvoVarInfo self(VAR_ARGUMENT, 0);
    if (kvoStrCmp(name, u"self") == 0) {
        // The current method, called again on "this".
        _codeMethodCall(ctx, name, self);
        return self;
    }
    KvoDictionaryEntry* entry = c->findMember(name, true);
    if (!entry)
        return KvoVarInfo();
    switch (entry->getSymbolType()) {
    case SYM_DATAMEMBER:
        return KvoVarInfo(VAR_MEMBER, entry->getValue().getLong());
    case SYM_VARIABLE:
        return KvoVarInfo(VAR_GLOBAL, static_cast<std::int32_t>(emitter.internEntry(entry)));
    case SYM_METHOD:
        _codeMethodCall(ctx, name, self);
        return self;
    case SYM_FUNCTION:
        emitter.emitIndexed(REF, emitter.internEntry(entry));
        return KvoVarInfo(VAR_VALUE, -1);
    default:
        return KvoVarInfo();
    }
}

void KvoCompiler::_codeVarInfo(KvoFuncContext& ctx, KvoVarAccessType access, const KvoVarInfo& info)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    const auto index = static_cast<std::uint32_t>(info.index);
    switch (info.kind) {
    case VAR_ARGUMENT:
    case VAR_TEMPORARY:
    case VAR_STATIC_LOCAL:
    case VAR_GLOBAL:
    case VAR_MEMBER: {
        static constexpr KvoOpCode LOADS[] = {NOP, AREF, TREF, SREF, REF, MREF};
        static constexpr KvoOpCode STORES[] = {NOP, ASET, TSET, SSET, SET, MSET};
        if (access == ACCESS_LOAD)
            emitter.emitIndexed(LOADS[info.kind], index);
        else if (access == ACCESS_STORE)
            emitter.emitIndexed(STORES[info.kind], index);
        break;
    }
    case VAR_INDEXED:
        if (access == ACCESS_LOAD)
            emitter.emit(VREF);
        else if (access == ACCESS_STORE)
            emitter.emit(VSET);
        else if (access == ACCESS_PUSH)
            emitter.emit(PUSH);
        else
            emitter.emit(DUP2);
        break;
    case VAR_NONE:
    case VAR_VALUE:
        break;
    }
}

void KvoCompiler::_codeRValue(KvoFuncContext& ctx, KvoVarInfo& info)
{
    _codeVarInfo(ctx, ACCESS_LOAD, info);
    info = KvoVarInfo(VAR_VALUE, -1);
}

void KvoCompiler::_codeSourceInfo(KvoFuncContext& ctx)
{
    const KvoChar* source = m_scanner->getSourceName();
    const std::int32_t line = m_scanner->getLineNumber();
    if (line == m_lastLine && kvoStrCmp(source, m_lastSource.c_str()) == 0)
        return;
    m_lastLine = line;
    m_lastSource = source;
    KvoCodeEmitter& emitter = ctx.emitter();
    emitter.emit(PUSH);
    emitter.emitLiteral(emitter.internName(source));
    emitter.emitIndexed(NEWLINE, static_cast<std::uint32_t>(line));
}
