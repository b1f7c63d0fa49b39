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
// Diagnostics: each goes through the scanner's parseError and is printed verbatim. Every failed
// token check and every other mistake is reported and counted, and parsing goes on with the next
// token. The error limit (MAX_COMPILE_ERRORS) is tested between top-level declarations: the
// declaration in which the count reaches it is compiled to its end, and nothing after it is read.
// A declaration that piles up KVO_MAX_DIAGNOSTICS diagnostics on its own (garbage input) ends the
// token stream with a last one, so output stays bounded.
// The machine's cancel() ends the token stream as well, at the next token, with the diagnostic
// "compilation cancelled": a host can stop a long compilation as it stops a long run.
// Nesting of expressions, statements, literals and function literals is limited
// (KVO_MAX_NESTING_DEPTH), so no input can overflow the native stack.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>

#include "compiler/KvoCompilerHost.h"
#include "compiler/KvoToken.h"
#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"
#include "vm/KvoOpCode.h"

class IKvoPrinter;
class KvoClass;
class KvoDebugger;
class KvoFuncContext;
class KvoNameList;
class KvoScanner;
class KvoVector;
struct KvoVarInfo;
enum KvoVarAccessType : std::uint8_t;

// Diagnostics counted in one compile() before it gives up (tested between top-level declarations).
constexpr int MAX_COMPILE_ERRORS = 10;
// Diagnostics after which the token stream ends even inside a declaration.
constexpr int KVO_MAX_DIAGNOSTICS = 1000;
// Deepest nesting of expressions, statements, literal values and function literals.
constexpr int KVO_MAX_NESTING_DEPTH = 200;

class KVO_API KvoCompiler
{
public:
    // host: the machine whose dictionaries receive the compiled code (a machine converts to its
    // host; borrowed). printer: receives diagnostics and information lines (borrowed); null means
    // the machine's printer.
    KvoCompiler(KvoCompilerHost host, IKvoPrinter* printer = nullptr);
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
    // The outcome of a source whose text could not be read (a stream of a directory, say): the
    // diagnostic reason (the system's text, such as "Is a directory") is printed for sourceName
    // as for a file source that fails, and counted. Returns false.
    bool compileUnreadable(const KvoChar* sourceName, const KvoChar* reason);

    // The literal names ("deflit", "literal" and the predefined ones) of the last compile.
    KvoDictionary& literals() noexcept { return *m_literals; }
    // Number of diagnostics the last compile counted.
    int getErrorCount() const noexcept { return m_errors; }

private:
    class NestingGuard;

    // ---- top level, declarations, classes, directives (KvoCompiler.cpp) ----
    // The top-level loop over one scanner; true when no diagnostic was counted.
    bool _compile(KvoScanner& scanner);
    // Resets the literal dictionary to UNICODE, WIN32, WINCE (1), MSDOS (0) and LINUX (1).
    void _predefineLiterals();
    // After a top-level name: a global function, or "Class::member". False ends the compilation
    // (a parameter list without ")", an undefined class before "::", a missing member name).
    bool _doFunction(const std::u16string& name);
    bool _doRegularFunction(const std::u16string& name);
    bool _doMemberFunction(const std::u16string& className);
    // After "class": a forward declaration or a body. False ends the compilation.
    bool _doClass();
    // One member declaration starting with token; instance data names go to collected (names
    // only; entered when the body ends).
    void _doMemberDeclaration(KvoToken token, KvoClass& c, KvoNameList& collected, bool usedAsBase);
    // After "operator": the member name ("OP_ADD" ...; empty when invalid). Consumes the "(".
    std::u16string _getOperatorFunc();
    // After "#": one directive. False for "endsrc" and a failed include.
    bool _doPreproc();
    bool _doInclude();
    // The class of that name, or null after reporting "undefined class".
    KvoClass* _findClass(const KvoChar* name);
    // The class of that name, or null, without a diagnostic.
    KvoClass* _lookupClass(const KvoChar* name) const;
    // True when a class of the machine has c as its base.
    bool _isUsedAsBase(const KvoClass* c);
    // Machine services of "import" and "use"; false when the module could not be entered.
    bool _loadNativeModule(const KvoChar* name);
    bool _useModule(const KvoChar* name);

    // ---- tokens and diagnostics (KvoCompiler.cpp) ----
    // The next token (TOK_EOF once the stream has been ended); prints a scanner error once.
    KvoToken _next();
    // Hands the token just read back; a second call before _next does nothing.
    void _back();
    // True when token is the single-character token c.
    bool _isChar(KvoToken token, KvoChar c) const;
    // The text of the current token.
    std::u16string _tokenText() const;
    // Checks found against expected (and c for TOK_ANY); otherwise reports "expected '%s', found
    // '%s'" and returns false. The found token stays consumed: parsing goes on with the next one.
    bool _require(KvoToken expected, KvoToken found, KvoChar c = 0);
    bool _fetchRequire(KvoToken expected, KvoChar c = 0);
    // Reports and counts a diagnostic, unless the token stream has been ended.
    void _error(const KvoChar* message);
    // _error with name substituted for the %s of format.
    void _errorName(const KvoChar* format, const KvoChar* name);
    // Counts one diagnostic; at KVO_MAX_DIAGNOSTICS reports that and ends the token stream.
    void _countError();
    // An information line, when the show-information switch is on.
    void _info(const KvoChar* format, const KvoChar* a, const KvoChar* b = nullptr);
    // Reports the nesting limit and ends the token stream.
    void _nestingTooDeep();
    // Reports that the host cancelled the compilation and ends the token stream.
    void _cancelled();

    // ---- function bodies, variables, name resolution (KvoCompilerFunctions.cpp) ----
    // Compiles parameters and body after "(" into procedure (owning KVT_BYTECODE). c: the class
    // of a member function, else null. False when the parameter list is not closed by ")".
    bool _codeFunctionBody(const KvoChar* name, KvoClass* c, KvoValue& procedure);
    // Reads names (with defaults when defaults is given) until a token of terminators; returns
    // the number of names added.
    std::uint32_t _getIdList(KvoNameList& names, const KvoChar* terminators, KvoVector* defaults);
    // The "var" and "static" definitions inside a body, after the keyword.
    void _codeVarDefinition(KvoFuncContext& ctx);
    void _codeStaticVarDefinition(KvoFuncContext& ctx);
    // Reports a name already used by a static local, an argument or a temporary.
    void _reportDefined(KvoFuncContext& ctx, const KvoChar* name);
    // Where name lives; may emit code (a class value, "self", a method call on "this").
    KvoVarInfo _findVariable(const KvoChar* name, KvoFuncContext& ctx, bool skipClass);
    // A member of c (bases searched) as seen from a member function; VAR_NONE when absent.
    KvoVarInfo _findClassVariable(const KvoChar* name, KvoFuncContext& ctx, KvoClass* c);
    // Emits the access code of info; _codeRValue loads and turns info into VAR_VALUE.
    void _codeVarInfo(KvoFuncContext& ctx, KvoVarAccessType access, const KvoVarInfo& info);
    void _codeRValue(KvoFuncContext& ctx, KvoVarInfo& info);
    // A source-line record when the line or source changed since the last one.
    void _codeSourceInfo(KvoFuncContext& ctx);
    // The local-variable information value of the function.
    KvoValue _localVarInfo(KvoFuncContext& ctx);

    // ---- expressions (KvoCompilerExpressions.cpp) ----
    // A whole expression, loaded into the top slot.
    void _codeExpr(KvoFuncContext& ctx);
    // The precedence levels; each leaves info describing where the value lives.
    void _codeExpr1(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr2(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr3(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr4(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeExpr5(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codeBinary(KvoFuncContext& ctx, KvoVarInfo& info, int minLevel);
    void _codeUnary(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codePostfix(KvoFuncContext& ctx, KvoVarInfo& info);
    void _codePrimary(KvoFuncContext& ctx, KvoVarInfo& info);
    // Postfix "++" / "--" (op PINC or PDEC) on info.
    void _codePostIncDec(KvoFuncContext& ctx, KvoVarInfo& info, KvoOpCode op);
    // An argument list after "("; returns the count.
    std::uint32_t _codeArguments(KvoFuncContext& ctx);
    // Sends name (with the argument list that follows) to the receiver.
    void _codeMethodCall(KvoFuncContext& ctx, const KvoChar* name, KvoVarInfo& receiver);
    void _codeNew(KvoFuncContext& ctx, KvoVarInfo& info);
    // "Class::member" after the "::".
    void _codeClassMember(KvoFuncContext& ctx, const KvoChar* className, KvoVarInfo& info);
    // True for an lvalue; otherwise reports "lvalue expected".
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
    // The clean-up code for leaving every construct above controls()[target].
    void _codeLeave(KvoFuncContext& ctx, std::size_t target, bool popSwitches);

    // ---- literal expressions (KvoCompilerLiterals.cpp) ----
    // Each takes the first token of its operand (already read) and stores the result in value.
    void _doLitExpr(KvoToken token, KvoValue& value);
    void _doLitConditional(KvoToken token, KvoValue& value);
    void _doLitLogical(KvoToken token, KvoValue& value, KvoToken op);
    void _doLitBinary(KvoToken token, KvoValue& value, int minLevel);
    void _doLitUnary(KvoToken token, KvoValue& value);
    void _doLiteralValue(KvoToken token, KvoValue& value);
    void _doLitVector(KvoValue& value);
    void _doLitDictionary(KvoValue& value);
    // a op b for "+" "-" "*" "/" "%" with the compile-time promotion rules.
    KvoValue _litArithmetic(KvoChar op, const KvoValue& a, const KvoValue& b);

    KvoCompilerHost m_host;
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
    unsigned m_errorEvents = 0; // every error, also those not printed after the stream ended
    bool m_stopped = false;   // diagnostic, nesting or cancel limit: no more tokens, no more diagnostics
    bool m_endOfSource = false; // "endsrc": no more tokens
    int m_depth = 0;          // current nesting (see KVO_MAX_NESTING_DEPTH)
    bool m_backPending = false; // a token has been handed back to the scanner
    // The classes that some class of the machine has as its base, gathered on the first question
    // of a compile and kept up to date with the bases the compiler sets; a directive that loads
    // classes (#use, #import) makes it gather them again. A walk over all classes for each class
    // declaration would make a program of many classes quadratic to compile.
    std::unordered_set<const KvoClass*> m_baseClasses;
    bool m_baseClassesKnown = false;
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
