// KvoCompiler: the top-level loop, function and class declarations, member declarations,
// operator names, the preprocessor directives, and the token and diagnostic helpers that every
// part of the compiler uses.
#include "compiler/KvoCompiler.h"

#include <concepts>

#include "compiler/KvoCompilerMessages.h"
#include "compiler/KvoFuncContext.h"
#include "compiler/KvoScanner.h"
#include "compiler/KvoVarInfo.h"
#include "host/IKvoPrinter.h"
#include "platform/KvoFile.h"
#include "platform/KvoFormat.h"
#include "platform/KvoPath.h"
#include "platform/KvoText.h"
#include "values/KvoClass.h"

KvoCompiler::KvoCompiler(KvoCompilerHost host, IKvoPrinter* printer)
    : m_host(host), m_symbols(host.symbols()), m_classes(host.classes()), m_literals(new KvoDictionary(false)),
      m_printer(printer ? printer : &host.printer())
{
    m_literals->addRef();
}

KvoCompiler::~KvoCompiler()
{
    m_literals->release();
}

// ---- compile ------------------------------------------------------------------------------------

bool KvoCompiler::compile(std::FILE* file, const KvoChar* sourceName)
{
    if (!file) {
        (*m_printer)(u"%s", KVO_CMSG_INVALID_FILE);
        return false;
    }
    KvoScanner scanner(file, sourceName ? sourceName : u"");
    return _compile(scanner);
}

bool KvoCompiler::compile(const KvoChar* source, const KvoChar* sourceName)
{
    if (!source) {
        (*m_printer)(u"%s", KVO_CMSG_INVALID_SOURCE);
        return false;
    }
    KvoScanner scanner(source, sourceName ? sourceName : u"");
    return _compile(scanner);
}

bool KvoCompiler::compileUnreadable(const KvoChar* sourceName, const KvoChar* reason)
{
    KvoScanner scanner(u"", sourceName ? sourceName : u"");
    // The empty source's one line is read first, so that the diagnostic has the position a file
    // source that failed at once reports.
    (void)scanner.getToken();
    scanner.parseError(reason ? reason : u"");
    (*m_printer)(u"%s", scanner.getTokenString());
    m_errors = 1;
    return false;
}

void KvoCompiler::_predefineLiterals()
{
    m_literals->clear();
    static constexpr struct {
        const KvoChar* name;
        std::int32_t value;
    } PREDEFINED[] = {{u"UNICODE", 1}, {u"WIN32", 1}, {u"WINCE", 1}, {u"MSDOS", 0}, {u"LINUX", 1},
                      // Extensions: the truth values as scripts of other languages spell them.
                      {u"true", 1}, {u"false", 0}};
    for (const auto& literal : PREDEFINED)
        (*m_literals)[literal.name]->setValue(KvoValue(literal.value));
}

namespace {

// Marks a compilation as running on its machine, so that the machine's cancel() reaches it.
class CompileScope
{
public:
    explicit CompileScope(const KvoCompilerHost& host) : m_host(host) { m_host.beginCompile(); }
    ~CompileScope() { m_host.endCompile(); }
    CompileScope(const CompileScope&) = delete;
    CompileScope& operator=(const CompileScope&) = delete;

private:
    const KvoCompilerHost& m_host;
};

} // namespace

// program -> { function-definition | class-declaration | "#" directive } <eof>
bool KvoCompiler::_compile(KvoScanner& scanner)
{
    CompileScope running(m_host);
    m_scanner = &scanner;
    m_errors = 0;
    m_errorEvents = 0;
    m_stopped = false;
    m_endOfSource = false;
    m_depth = 0;
    m_backPending = false;
    m_baseClassesKnown = false;
    m_lastLine = -1;
    m_lastSource.clear();
    _predefineLiterals();

    // The error limit is tested here, between declarations: the one in which the count reaches
    // it is compiled to its end, with every diagnostic it gives.
    bool ok = true;
    while (ok && m_errors < MAX_COMPILE_ERRORS) {
        KvoToken token = _next();
        if (token == TOK_EOF)
            break;
        if (token == TOK_ERROR)
            continue; // printed and counted by _next
        if (token == TOK_IDENT) {
            ok = _doFunction(_tokenText());
        } else if (token == TOK_CLASS) {
            ok = _doClass();
        } else if (token == TOK_VAR || token == TOK_NULL) {
            // A marker in the place of a return type; a function definition must follow.
            token = _next();
            if (token == TOK_IDENT) {
                ok = _doFunction(_tokenText());
            } else {
                _require(TOK_IDENT, token);
                _back();
            }
        } else if (_isChar(token, '#')) {
            if (!_doPreproc())
                break;
        } else {
            _error(KVO_CMSG_DECLARATION_EXPECTED);
        }
    }
    m_scanner = nullptr;
    return ok && m_errors == 0;
}

// ---- tokens and diagnostics ---------------------------------------------------------------------

KvoToken KvoCompiler::_next()
{
    if (m_stopped || m_endOfSource)
        return TOK_EOF;
    if (m_host.compileCancelled()) {
        _cancelled();
        return TOK_EOF;
    }
    bool redelivered = m_backPending;
    m_backPending = false;
    KvoToken token = m_scanner->getToken();
    if (token == TOK_ERROR && !redelivered) {
        // A lexical error is reported where it is read, once; the construct that receives the
        // "<error>" token decides whether it adds a diagnostic of its own.
        ++m_errorEvents;
        (*m_printer)(u"%s", m_scanner->getTokenString());
        _countError();
    }
    return token;
}

void KvoCompiler::_back()
{
    if (m_stopped || m_endOfSource || m_backPending)
        return;
    m_scanner->back();
    m_backPending = true;
}

bool KvoCompiler::_isChar(KvoToken token, KvoChar c) const
{
    return token == TOK_ANY && m_scanner->getChar() == c;
}

std::u16string KvoCompiler::_tokenText() const
{
    return std::u16string(m_scanner->getTokenString());
}

bool KvoCompiler::_require(KvoToken expected, KvoToken found, KvoChar c)
{
    if (found == expected && (expected != TOK_ANY || m_scanner->getChar() == c))
        return true;
    const KvoChar expectedChar[2] = {c, 0};
    const KvoChar* expectedText = expected == TOK_ANY ? expectedChar : kvoTokenText(expected);
    const KvoChar* foundText = m_stopped || m_endOfSource ? kvoTokenText(TOK_EOF) : m_scanner->getTokenName(found);
    std::u16string message = kvoFormatString(KVO_CMSG_EXPECTED_FOUND_FORMAT, expectedText, foundText);
    _error(message.c_str());
    return false;
}

bool KvoCompiler::_fetchRequire(KvoToken expected, KvoChar c)
{
    return _require(expected, _next(), c);
}

void KvoCompiler::_error(const KvoChar* message)
{
    ++m_errorEvents;
    if (m_stopped)
        return;
    m_scanner->parseError(message);
    (*m_printer)(u"%s", m_scanner->getTokenString());
    _countError();
}

void KvoCompiler::_errorName(const KvoChar* format, const KvoChar* name)
{
    std::u16string message = kvoFormatString(format, name);
    _error(message.c_str());
}

void KvoCompiler::_countError()
{
    if (++m_errors < KVO_MAX_DIAGNOSTICS || m_stopped)
        return;
    // Garbage that never closes a declaration would otherwise give a diagnostic for every few
    // bytes: end the token stream, so every construct meets "<eof>" and unwinds.
    std::u16string message = kvoFormatString(KVO_CMSG_TOO_MANY_ERRORS_FORMAT, m_errors);
    m_scanner->parseError(message.c_str());
    (*m_printer)(u"%s", m_scanner->getTokenString());
    ++m_errors;
    m_stopped = true;
}

void KvoCompiler::_cancelled()
{
    ++m_errorEvents;
    m_scanner->parseError(KVO_CMSG_CANCELLED);
    (*m_printer)(u"%s", m_scanner->getTokenString());
    ++m_errors;
    m_stopped = true;
}

void KvoCompiler::_nestingTooDeep()
{
    if (m_stopped)
        return;
    ++m_errorEvents;
    std::u16string message = kvoFormatString(KVO_CMSG_NESTING_TOO_DEEP_FORMAT, KVO_MAX_NESTING_DEPTH);
    m_scanner->parseError(message.c_str());
    (*m_printer)(u"%s", m_scanner->getTokenString());
    ++m_errors;
    m_stopped = true;
}

void KvoCompiler::_info(const KvoChar* format, const KvoChar* a, const KvoChar* b)
{
    if (m_showInfo)
        (*m_printer)(format, a, b);
}

// ---- functions --------------------------------------------------------------------------------

// function-definition -> name "(" parameters ")" body | className "::" member "(" parameters ")" body
bool KvoCompiler::_doFunction(const std::u16string& name)
{
    KvoToken token = _next();
    if (_isChar(token, '('))
        return _doRegularFunction(name);
    if (token == TOK_SCOPE)
        return _doMemberFunction(name);
    _error(KVO_CMSG_FUNCTION_EXPECTED);
    return true;
}

bool KvoCompiler::_doRegularFunction(const std::u16string& name)
{
    // Defined before the body is compiled, so that the body can call itself.
    KvoDictionaryEntry* entry = m_symbols[name.c_str()];
    entry->setSymbolType(SYM_FUNCTION);
    _info(KVO_CINFO_FUNCTION_FORMAT, name.c_str());
    KvoValue procedure;
    if (!_codeFunctionBody(name.c_str(), nullptr, procedure))
        return false;
    entry->setValue(procedure);
    return true;
}

// member -> "~" className | "operator" operator-spec | name
bool KvoCompiler::_doMemberFunction(const std::u16string& className)
{
    KvoClass* c = _findClass(className.c_str());
    if (!c)
        return false;

    std::u16string member;
    bool fromOperator = false;
    KvoToken token = _next();
    if (_isChar(token, '~')) {
        if (!_fetchRequire(TOK_IDENT))
            return false;
        if (_tokenText() != className)
            _error(KVO_CMSG_DESTRUCTOR_DEFINITION);
        member = u"dtor";
    } else if (token == TOK_OPERATOR) {
        member = _getOperatorFunc();
        fromOperator = true;
    } else if (token == TOK_IDENT) {
        member = _tokenText();
    } else {
        _require(TOK_IDENT, token);
        return false;
    }
    if (!fromOperator)
        _fetchRequire(TOK_ANY, '(');
    _info(KVO_CINFO_MEMBER_FUNCTION_FORMAT, className.c_str(), member.c_str());

    // An invalid operator has no name: its body is compiled and dropped.
    KvoDictionaryEntry* entry = nullptr;
    if (!member.empty()) {
        entry = c->findMember(member.c_str(), false);
        if (entry && entry->getSymbolType() != SYM_METHOD && entry->getSymbolType() != SYM_FUNCTION) {
            // Never overwrite a data member with code: the body is compiled and dropped.
            _error(KVO_CMSG_ILLEGAL_REDEFINITION);
            entry = nullptr;
        } else if (!entry) {
            // Defined without a declaration in the class body: an instance method.
            entry = c->funcMembers()[member.c_str()];
            entry->setSymbolType(SYM_METHOD);
        }
    }

    KvoValue procedure;
    if (!_codeFunctionBody(member.c_str(), c, procedure))
        return false;
    if (!entry)
        return true;
    KvoValue stored = procedure;
    stored.setProtection(entry->getValue().getProtection());
    entry->setValue(stored);

    // A prefix increment or decrement also serves as the postfix form unless that is defined.
    const KvoChar* postfix = member == u"OP_INC" ? u"OP_PINC" : member == u"OP_DEC" ? u"OP_PDEC" : nullptr;
    if (postfix && !c->findMember(postfix, false)) {
        KvoDictionaryEntry* alias = c->funcMembers()[postfix];
        alias->setSymbolType(SYM_METHOD);
        alias->setValue(stored);
    }
    return true;
}

// ---- classes ----------------------------------------------------------------------------------

KvoClass* KvoCompiler::_lookupClass(const KvoChar* name) const
{
    KvoDictionaryEntry* entry = m_classes.find(name);
    return entry ? entry->getValue().getClass() : nullptr;
}

bool KvoCompiler::_isUsedAsBase(const KvoClass* c)
{
    if (!m_baseClassesKnown) {
        m_baseClasses.clear();
        for (const KvoDictionaryEntry* e = m_classes.getFirst(); e; e = e->getNext()) {
            const KvoClass* other = e->getValue().getClass();
            if (other && other->getBaseClass())
                m_baseClasses.insert(other->getBaseClass());
        }
        m_baseClassesKnown = true;
    }
    return m_baseClasses.contains(c);
}

KvoClass* KvoCompiler::_findClass(const KvoChar* name)
{
    KvoClass* c = _lookupClass(name);
    if (!c)
        _error(KVO_CMSG_UNDEFINED_CLASS);
    return c;
}

// class-declaration -> "class" name ( ";" | [ ":" base ] "{" { member-declaration | directive } "}" [ ";" ] )
bool KvoCompiler::_doClass()
{
    KvoToken token = _next();
    if (!_require(TOK_IDENT, token))
        return false;
    const std::u16string name = _tokenText();
    KvoClass* c = _lookupClass(name.c_str());

    bool forward = false;
    KvoClass* base = nullptr;
    token = _next();
    if (_isChar(token, ';')) {
        forward = true;
        _info(KVO_CINFO_CLASS_FORWARD_FORMAT, name.c_str());
    } else if (_isChar(token, ':')) {
        if (_fetchRequire(TOK_IDENT)) {
            const std::u16string baseName = _tokenText();
            base = _findClass(baseName.c_str());
            if (base && base == c) {
                _error(KVO_CMSG_OWN_BASE);
                return false;
            }
            _info(KVO_CINFO_CLASS_BASE_FORMAT, name.c_str(), baseName.c_str());
        }
    } else {
        _back();
        _info(KVO_CINFO_CLASS_FORMAT, name.c_str());
    }

    bool usedAsBase = false;
    if (c) {
        usedAsBase = _isUsedAsBase(c);
    } else {
        c = m_host.newClass(KvoString(name.c_str()));
        KvoDictionaryEntry* entry = m_classes[name.c_str()];
        entry->setValue(KvoValue(c));
        entry->setSymbolType(SYM_CLASS);
    }

    if (base) {
        if (!c->getBaseClass()) {
            if (usedAsBase && base->computeDataSize() > 0) {
                // The derived classes numbered their members without these: they would overlap.
                _error(KVO_CMSG_BASE_NEW_MEMBER);
            } else if (!c->setBaseClass(base)) {
                // The base derives from this class: the chain would be endless.
                _error(KVO_CMSG_OWN_BASE);
                return false;
            } else if (m_baseClassesKnown) {
                m_baseClasses.insert(base);
            }
        } else if (c->getBaseClass() != base) {
            _error(KVO_CMSG_BASE_REDEFINED);
        }
    }

    if (forward) {
        c->computeDataSize();
        return true;
    }
    if (!_fetchRequire(TOK_ANY, '{'))
        return false;

    // The instance data members of this body, entered when the body is complete.
    KvoNameList collected;
    for (;;) {
        token = _next();
        if (_isChar(token, '}'))
            break;
        if (token == TOK_EOF) {
            _error(KVO_CMSG_UNEXPECTED_EOF);
            return false;
        }
        if (_isChar(token, '#')) {
            if (!_doPreproc())
                return false;
            continue;
        }
        _doMemberDeclaration(token, *c, collected, usedAsBase);
    }
    token = _next();
    if (!_isChar(token, ';'))
        _back();

    for (std::uint32_t i = 0; i < collected.size(); ++i) {
        KvoDictionaryEntry* member = c->dataMembers()[collected.names()[i].getString()];
        member->setSymbolType(SYM_DATAMEMBER);
    }
    c->fixupDataDefs();
    return true;
}

// member-declaration -> [ "~" | "static" [ "var" | "null" ] | "var" | "null" ] ( "operator" spec | name )
//                       ( "(" parameters ")" | [ "=" literal ] { "," name [ "=" literal ] } ) ";"
void KvoCompiler::_doMemberDeclaration(KvoToken token, KvoClass& c, KvoNameList& collected, bool usedAsBase)
{
    bool tilde = false;
    bool isStatic = false;
    bool hasVar = false;
    bool hasNull = false;
    if (_isChar(token, '~')) {
        tilde = true;
        token = _next();
    } else if (token == TOK_STATIC) {
        isStatic = true;
        token = _next();
        if (token == TOK_VAR || token == TOK_NULL) {
            (token == TOK_VAR ? hasVar : hasNull) = true;
            token = _next();
        }
    } else if (token == TOK_VAR || token == TOK_NULL) {
        (token == TOK_VAR ? hasVar : hasNull) = true;
        token = _next();
    }

    std::u16string name;
    bool fromOperator = false;
    if (token == TOK_OPERATOR) {
        if (isStatic)
            _error(KVO_CMSG_STATIC_OPERATOR);
        name = _getOperatorFunc();
        fromOperator = true;
    } else if (token == TOK_IDENT) {
        name = _tokenText();
    } else {
        _error(KVO_CMSG_MEMBER_EXPECTED);
        if (_isChar(token, '}'))
            _back();
        return;
    }

    const KvoString* className = c.getClassName();
    bool isClassName = className && name == className->c_str();
    bool isDestructor = false;
    bool isConstructor = false;
    if (tilde) {
        if (!isClassName)
            _error(KVO_CMSG_DESTRUCTOR_EXPECTED);
        name = u"dtor";
        isDestructor = true;
    } else if (name == u"dtor") {
        isDestructor = true;
    } else if (isClassName && !fromOperator) {
        isConstructor = true;
    }
    if (isStatic && isDestructor)
        _error(KVO_CMSG_STATIC_DESTRUCTOR);
    if (isStatic && isConstructor)
        _error(KVO_CMSG_STATIC_CONSTRUCTOR);
    if ((hasVar || hasNull) && isDestructor)
        _error(KVO_CMSG_DESTRUCTOR_VALUE);
    if ((hasVar || hasNull) && isConstructor)
        _error(KVO_CMSG_CONSTRUCTOR_VALUE);

    token = fromOperator ? TOK_NOTOKEN : _next();
    if (fromOperator || _isChar(token, '(')) {
        // A method declaration: the parameter list is checked and thrown away.
        if (!isDestructor) {
            KvoNameList names;
            KvoValue defaults(new KvoVector());
            _getIdList(names, u")", defaults.getVector());
        }
        _fetchRequire(TOK_ANY, ')');
        _fetchRequire(TOK_ANY, ';');
        if (!name.empty()) {
            KvoDictionaryEntry* entry = c.funcMembers()[name.c_str()];
            entry->setSymbolType(isStatic ? SYM_FUNCTION : SYM_METHOD);
        }
        return;
    }

    if (isStatic) {
        // Class variables: name [ "=" literal ] { "," name [ "=" literal ] }
        if (hasNull)
            _error(KVO_CMSG_NULL_CLASS_VARIABLE);
        for (;;) {
            KvoDictionaryEntry* entry = c.dataMembers().find(name.c_str());
            if (!entry && collected.contains(name.c_str())) {
                _error(KVO_CMSG_MEMBER_NOT_STATIC); // an instance member of this very body
            } else if (!entry) {
                entry = c.dataMembers()[name.c_str()];
                entry->setSymbolType(SYM_VARIABLE);
            } else if (entry->getSymbolType() != SYM_VARIABLE) {
                _error(KVO_CMSG_MEMBER_NOT_STATIC);
                entry = nullptr;
            }
            if (_isChar(token, '=')) {
                KvoValue value;
                _doLitExpr(_next(), value);
                if (entry)
                    entry->setValue(value);
                token = _next();
            }
            if (!_isChar(token, ','))
                break;
            token = _next();
            if (!_require(TOK_IDENT, token)) {
                token = TOK_NOTOKEN;
                break;
            }
            name = _tokenText();
            token = _next();
        }
    } else {
        // Instance data: name { "," name }
        if (hasNull)
            _error(KVO_CMSG_NULL_MEMBER_VARIABLE);
        if (usedAsBase)
            _error(KVO_CMSG_BASE_NEW_MEMBER);
        for (;;) {
            // Every name is compared, the first of a declaration too: a repeated name would take
            // a second slot that no lookup ever finds.
            const KvoDictionaryEntry* existing = c.dataMembers().find(name.c_str());
            if (collected.contains(name.c_str()) ||
                (existing && existing->getSymbolType() == SYM_DATAMEMBER))
                _error(KVO_CMSG_DUPLICATE_IDENTIFIER);
            else if (existing)
                _error(KVO_CMSG_ILLEGAL_REDEFINITION);
            else if (!usedAsBase)
                collected.add(name.c_str());
            if (!_isChar(token, ','))
                break;
            token = _next();
            if (!_require(TOK_IDENT, token)) {
                token = TOK_NOTOKEN;
                break;
            }
            name = _tokenText();
            token = _next();
        }
    }
    if (token != TOK_NOTOKEN)
        _require(TOK_ANY, token, ';');
}

// operator-spec -> [ "L" | "R" ] operator "(" , yielding the member name ("OP_ADD" ...), or an
// empty name for an invalid operator. Consumes the "(" of the parameter list.
std::u16string KvoCompiler::_getOperatorFunc()
{
    KvoToken token = _next();
    bool prefixed = false;
    bool reversed = false;
    if (token == TOK_IDENT) {
        std::u16string prefix = _tokenText();
        if (prefix == u"R")
            reversed = true;
        else if (prefix != u"L")
            _error(KVO_CMSG_OPERATOR_PREFIX);
        prefixed = true;
        token = _next();
    }

    static constexpr struct {
        KvoChar c;
        KvoToken token;
        const KvoChar* name;
    } BINARY[] = {{u'+', TOK_ANY, u"OP_ADD"},  {u'-', TOK_ANY, u"OP_SUB"},  {u'*', TOK_ANY, u"OP_MUL"},
                  {u'/', TOK_ANY, u"OP_DIV"},  {u'%', TOK_ANY, u"OP_REM"},  {u'&', TOK_ANY, u"OP_BAND"},
                  {u'|', TOK_ANY, u"OP_BOR"},  {u'^', TOK_ANY, u"OP_XOR"},  {0, TOK_SHL, u"OP_SHL"},
                  {0, TOK_SHR, u"OP_SHR"}};
    std::u16string name;
    for (const auto& op : BINARY) {
        if (op.token == TOK_ANY ? _isChar(token, op.c) : token == op.token) {
            name = op.name;
            if (reversed)
                name += u"_R";
        }
    }
    bool minus = _isChar(token, '-');
    if (name.empty()) {
        if (prefixed)
            _error(KVO_CMSG_OPERATOR_AFTER_PREFIX);
        if (_isChar(token, '~')) {
            name = u"OP_BNOT";
        } else if (_isChar(token, '(')) {
            _fetchRequire(TOK_ANY, ')');
            name = u"OP_CALL";
        } else if (_isChar(token, '[')) {
            token = _next();
            if (token == TOK_VAR) {
                name = u"OP_VSET";
                token = _next();
            } else {
                name = u"OP_VREF";
            }
            _require(TOK_ANY, token, ']');
        } else if (token == TOK_INC) {
            name = u"OP_INC";
        } else if (token == TOK_DEC) {
            name = u"OP_DEC";
        } else {
            _error(KVO_CMSG_OPERATOR_DEFINITION);
        }
    }

    _fetchRequire(TOK_ANY, '(');
    token = _next();
    if (minus && !prefixed && _isChar(token, ')')) {
        name = u"OP_NEG";
        _back();
    } else if ((name == u"OP_INC" || name == u"OP_DEC") && token == TOK_VAR) {
        name = name == u"OP_INC" ? u"OP_PINC" : u"OP_PDEC";
    } else {
        _back();
    }
    return name;
}

// ---- directives -------------------------------------------------------------------------------

// directive -> "#" ( "use" string | "import" string | "include" file | "endsrc"
//                  | ( "defvar" | "deflit" | "literal" ) name literal | "undeflit" name )
bool KvoCompiler::_doPreproc()
{
    KvoToken token = _next();
    if (!_require(TOK_IDENT, token))
        return true;
    const std::u16string directive = _tokenText();

    if (directive == u"use" || directive == u"import") {
        if (!_fetchRequire(TOK_STRING))
            return true;
        const std::u16string name = _tokenText();
        // Scripts of an untrusted machine neither load native code nor read files.
        if (m_host.isUntrusted()) {
            _error(KvoCompilerHost::untrustedDirectiveMessage());
            return true;
        }
        if (directive == u"import") {
            if (!_loadNativeModule(name.c_str()))
                _error(KVO_CMSG_NATIVE_IMPORT);
        } else if (!_useModule(name.c_str())) {
            _error(KVO_CMSG_LIBRARY_IMPORT);
        }
        return true;
    }
    if (directive == u"include")
        return _doInclude();
    if (directive == u"endsrc") {
        m_endOfSource = true;
        return false;
    }
    if (directive == u"defvar" || directive == u"deflit" || directive == u"literal" || directive == u"undeflit") {
        if (!_fetchRequire(TOK_IDENT))
            return true;
        const std::u16string name = _tokenText();
        if (directive == u"undeflit") {
            m_literals->erase(KvoString(name.c_str()));
            return true;
        }
        KvoValue value;
        _doLitExpr(_next(), value);
        if (directive == u"defvar") {
            KvoDictionaryEntry* entry = m_symbols[name.c_str()];
            entry->setSymbolType(SYM_VARIABLE);
            entry->setValue(value);
        } else if (directive == u"deflit" || !m_literals->find(name.c_str())) {
            (*m_literals)[name.c_str()]->setValue(value);
        }
        return true;
    }
    _error(KVO_CMSG_UNDEFINED_DIRECTIVE);
    return true;
}

// include -> string | "<" ( string | { name | number | keyword | "/" | "." } ) ">"
bool KvoCompiler::_doInclude()
{
    std::u16string name;
    bool angle = false;
    KvoToken token = _next();
    if (token == TOK_STRING) {
        name = _tokenText();
    } else if (_isChar(token, '<')) {
        angle = true;
        token = _next();
        if (token == TOK_STRING) {
            name = _tokenText();
            token = _next();
        } else {
            // The name is assembled from the token texts: lib/util.kvo scans as five tokens.
            for (;;) {
                if (token == TOK_IDENT || token == TOK_LONG || token == TOK_FLOAT ||
                    (token >= TOK_CLASS && token <= TOK_NULL))
                    name += _tokenText();
                else if (_isChar(token, '/') || _isChar(token, '.'))
                    name += m_scanner->getChar();
                else
                    break;
                token = _next();
            }
        }
        if (!_require(TOK_ANY, token, '>'))
            return false;
    } else {
        _back();
    }
    if (name.empty()) {
        _error(KVO_CMSG_INCLUDE_NAME);
        return false;
    }

    if (m_host.isUntrusted()) {
        _error(KvoCompilerHost::untrustedDirectiveMessage());
        return false;
    }
    // Only a regular file is read: a directory has no text, and a FIFO or a device could keep
    // the compiler waiting for a writer or reading without end.
    std::u16string path = name;
    KvoPathKind kind = kvoPathKind(name.c_str());
    std::FILE* file = kind == KvoPathKind::REGULAR ? kvoOpenFile(name.c_str(), u"rt") : nullptr;
    if (!file && angle) {
        KvoChar found[KVO_MAX_PATH];
        if (kvoSearchEnv(u"KVOINC", name.c_str(), found, KVO_MAX_PATH)) {
            path = found;
            kind = kvoPathKind(found);
            if (kind == KvoPathKind::REGULAR)
                file = kvoOpenFile(found, u"rt");
        }
    }
    if (!file) {
        const KvoChar* message = kind == KvoPathKind::DIRECTORY ? KVO_CMSG_IS_DIRECTORY
                                 : kind == KvoPathKind::OTHER   ? KVO_CMSG_NOT_REGULAR_FILE
                                                                : KVO_CMSG_FILE_NOT_FOUND;
        ++m_errorEvents;
        if (!m_stopped) {
            m_scanner->parseError(message);
            (*m_printer)(KVO_CMSG_FILE_NOT_FOUND_LINE_FORMAT, path.c_str(), m_scanner->getTokenString());
            _countError();
        }
        return false;
    }
    if (!m_scanner->push(file, path.c_str())) {
        // Nested too deeply: the scanner closed the file and left its diagnostic.
        ++m_errorEvents;
        (*m_printer)(u"%s", m_scanner->getTokenString());
        _countError();
        return false;
    }
    return true;
}

bool KvoCompiler::_loadNativeModule(const KvoChar* name)
{
    m_baseClassesKnown = false; // the module may register classes with bases
    return m_host.loadNativeModule(name);
}

bool KvoCompiler::_useModule(const KvoChar* name)
{
    m_baseClassesKnown = false; // the module may bring classes with bases
    return m_host.useModule(name);
}
