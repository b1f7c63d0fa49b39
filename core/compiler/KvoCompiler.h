// KvoCompiler: the single-pass compiler from script source to bytecode. It pulls tokens from a
// KvoScanner and enters what it compiles straight into the machine's dictionaries: global
// functions and "defvar" variables into the symbols, classes (with their members) into the
// classes. Every function body becomes a procedure as soon as its text has been read; there is no
// syntax tree.
//
// The work is split by concern: KvoCompiler.cpp (top level, declarations, classes, directives),
// KvoCompilerFunctions.cpp (function bodies, variables, name resolution, variable access),
// KvoCompilerExpressions.cpp, KvoCompilerStatements.cpp and KvoCompilerLiterals.cpp (compile-time
// literal expressions).
//
// Diagnostics: each goes through the scanner's parseError and is printed verbatim. After one, the
// compiler reports nothing more until it reaches a statement, member or declaration boundary, so
// one mistake gives one message; at MAX_COMPILE_ERRORS it stops reading (the token stream ends).
// Nesting of expressions, statements, literals and function literals is limited
// (KVO_MAX_NESTING_DEPTH), so no input can overflow the native stack.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "compiler/KvoFuncContext.h"
#include "compiler/KvoToken.h"
#include "compiler/KvoVarInfo.h"
#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"
#include "vm/KvoOpCode.h"

class IKvoPrinter;
class KvoClass;
class KvoDebugger;
class KvoScanner;
class KvoVirtualMachine;

// Diagnostics counted in one compile() before it gives up.
constexpr int MAX_COMPILE_ERRORS = 10;
// Deepest nesting of expressions, statements, literal values and function literals.
constexpr int KVO_MAX_NESTING_DEPTH = 200;

class KVO_API KvoCompiler
{
public:
    // vm: the machine whose dictionaries receive the compiled code (borrowed). printer: receives
    // diagnostics and information lines (borrowed); null means the machine's printer.
    KvoCompiler(KvoVirtualMachine& vm, IKvoPrinter* printer = nullptr);
    KvoCompiler(const KvoCompiler&) = delete;
    KvoCompiler& operator=(const KvoCompiler&) = delete;
    ~KvoCompiler();

    // Print "class ...", "function ..." lines while compiling.
    bool getShowInfo() const noexcept { return m_showInfo; }
    void setShowInfo(bool on) noexcept { m_showInfo = on; }
    // Emit source-line records (PUSH, LIT source name, NEWLINE line) before statements.
    bool getGenerateLineInfo() const noexcept { return m_generateLineInfo; }
    void setGenerateLineInfo(bool on) noexcept { m_generateLineInfo = on; }
    // Append local-variable names to every procedure.
    bool getGenerateLocalVarInfo() const noexcept { return m_generateLocalVarInfo; }
    void setGenerateLocalVarInfo(bool on) noexcept { m_generateLocalVarInfo = on; }
    // The debugger that lists every finished procedure (borrowed; null for none).
    void setDebugger(KvoDebugger* debugger) noexcept { m_debugger = debugger; }
    KvoDebugger* getDebugger() const noexcept { return m_debugger; }

    // Compiles an open file named sourceName. Takes ownership of file: it is closed when the
    // compilation ends. A null file prints a message and returns false. True when the whole
    // source compiled without a diagnostic; what was entered before an error stays in the machine.
    bool compile(std::FILE* file, const KvoChar* sourceName);
    // The same for a UTF-16 source text (copied).
    bool compile(const KvoChar* source, const KvoChar* sourceName);

    // The literal names ("deflit", "literal" and the predefined ones) of the last compile.
    KvoDictionary& literals() noexcept { return *m_literals; }
    // Number of diagnostics the last compile counted.
    int getErrorCount() const noexcept { return m_errors; }

private:
    class NestingGuard;

    // ---- top level, declarations, classes, directives (KvoCompiler.cpp) ----
    bool _compile(KvoScanner& scanner);
    void _predefineLiterals();
    bool _doFunction(const std::u16string& name);
    bool _doRegularFunction(const std::u16string& name);
    bool _doMemberFunction(const std::u16string& className);
    bool _doClass();
    void _doMemberDeclaration(KvoToken token, KvoClass& c, KvoVector& collected, bool usedAsBase);
    std::u16string _getOperatorFunc();
    bool _doPreproc();
    bool _doInclude();
    KvoClass* _findClass(const KvoChar* name);
    bool _loadNativeModule(const KvoChar* name);
    bool _useModule(const KvoChar* name);

    // ---- tokens and diagnostics (KvoCompiler.cpp) ----
    KvoToken _next();
    void _back();
    bool _isChar(KvoToken token, KvoChar c) const;
    std::u16string _tokenText() const;
    bool _require(KvoToken expected, KvoToken found, KvoChar c = 0);
    bool _fetchRequire(KvoToken expected, KvoChar c = 0);
    void _error(const KvoChar* message);
    void _errorName(const KvoChar* format, const KvoChar* name);
    void _countError();
    void _synchronize(bool inClassBody);
    void _info(const KvoChar* format, const KvoChar* a, const KvoChar* b = nullptr);
    void _nestingTooDeep();

    // ---- function bodies, variables, name resolution (KvoCompilerFunctions.cpp) ----
    bool _codeFunctionBody(const KvoChar* name, KvoClass* c, KvoValue& procedure);
    std::uint32_t _getIdList(KvoVector& names, const KvoChar* terminators, KvoVector* defaults);
    void _codeVarDefinition(KvoFuncContext& ctx);
    void _codeStaticVarDefinition(KvoFuncContext& ctx);
    void _reportDefined(KvoFuncContext& ctx, const KvoChar* name);
    KvoVarInfo _findVariable(const KvoChar* name, KvoFuncContext& ctx, bool skipClass);
    KvoVarInfo _findClassVariable(const KvoChar* name, KvoFuncContext& ctx, KvoClass* c);
    void _codeVarInfo(KvoFuncContext& ctx, KvoVarAccessType access, const KvoVarInfo& info);
    void _codeRValue(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeSourceInfo(KvoFuncContext& ctx);
    KvoValue _localVarInfo(KvoFuncContext& ctx);

    // ---- expressions (KvoCompilerExpressions.cpp) ----
    void _codeExpr(KvoFuncContext& ctx);
    void _codeExpr1(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr2(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr3(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr4(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr5(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeBinary(KvoFuncContext& ctx, KvoVarInfo& info, int minLevel);
    void _codeUnary(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codePostfix(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codePrimary(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codePostIncDec(KvoFuncContext& ctx, KvoVarInfo& info, KvoOpCode op);
    std::uint32_t _codeArguments(KvoFuncContext& ctx);
    void _codeMethodCall(KvoFuncContext& ctx, const KvoChar* name, KvoVarInfo& receiver);
    void _codeNew(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeClassMember(KvoFuncContext& ctx, const KvoChar* className, KvoVarInfo& info);
    bool _checkLValue(const KvoVarInfo& info);

    // ---- statements (KvoCompilerStatements.cpp) ----
    void _codeBlock(KvoFuncContext& ctx);
    void _codeStatement(KvoFuncContext& ctx);
    void _codeCondition(KvoFuncContext& ctx);
    void _codeIf(KvoFuncContext& ctx);
    void _codeWhile(KvoFuncContext& ctx);
    void _codeDoWhile(KvoFuncContext& ctx);
    void _codeFor(KvoFuncContext& ctx);
    void _codeSwitch(KvoFuncContext& ctx);
    void _codeBreak(KvoFuncContext& ctx);
    void _codeContinue(KvoFuncContext& ctx);
    void _codeReturn(KvoFuncContext& ctx);
    void _codeTry(KvoFuncContext& ctx);
    void _codeThrow(KvoFuncContext& ctx);
    void _codeLeave(KvoFuncContext& ctx, std::size_t target, bool popSwitches);

    // ---- literal expressions (KvoCompilerLiterals.cpp) ----
    void _doLitExpr(KvoToken token, KvoValue& value);
    void _doLitConditional(KvoToken token, KvoValue& value);
    void _doLitLogical(KvoToken token, KvoValue& value, KvoToken op);
    void _doLitBinary(KvoToken token, KvoValue& value, int minLevel);
    void _doLitUnary(KvoToken token, KvoValue& value);
    void _doLiteralValue(KvoToken token, KvoValue& value);
    void _doLitVector(KvoValue& value);
    void _doLitDictionary(KvoValue& value);
    KvoValue _litArithmetic(KvoChar op, const KvoValue& a, const KvoValue& b);

    KvoVirtualMachine& m_vm;
    KvoDictionary& m_symbols;
    KvoDictionary& m_classes;
    KvoDictionary* m_literals;
    IKvoPrinter* m_printer;
    KvoDebugger* m_debugger = nullptr;
    KvoScanner* m_scanner = nullptr;

    bool m_showInfo = false;
    bool m_generateLineInfo = false;
    bool m_generateLocalVarInfo = false;
    std::int32_t m_lastLine = -1;
    KvoString m_lastSource;

    int m_errors = 0;         // diagnostics counted in this compile
    unsigned m_errorEvents = 0; // every error, also those not reported while recovering
    bool m_panic = false;     // an error was reported; stay quiet until a boundary
    bool m_stopped = false;   // error limit or nesting limit: no more tokens, no more diagnostics
    bool m_endOfSource = false; // "endsrc": no more tokens
    int m_depth = 0;          // current nesting (see KVO_MAX_NESTING_DEPTH)
    bool m_backPending = false; // a token has been handed back to the scanner
    bool m_lastWasBoundary = false;   // the last token read was ';', '{' or '}'
    bool m_beforeWasBoundary = false; // the same for the token before it
};

// Counts one level of nesting for the lifetime of a recursive step; past KVO_MAX_NESTING_DEPTH it
// reports the limit once and ends the token stream, so the recursion unwinds at once.
class KvoCompiler::NestingGuard
{
public:
    explicit NestingGuard(KvoCompiler& compiler) : m_compiler(compiler)
    {
        m_ok = ++m_compiler.m_depth <= KVO_MAX_NESTING_DEPTH;
        if (!m_ok)
            m_compiler._nestingTooDeep();
    }
    ~NestingGuard() { --m_compiler.m_depth; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
    // False when this step is one too deep and must return without recursing.
    bool ok() const noexcept { return m_ok; }

private:
    KvoCompiler& m_compiler;
    bool m_ok;
};
