// The scanner: character input through a line buffer, token recognition, the include chain and
// the diagnostic formatter. Characters come from a source one UTF-16 unit at a time, 0xFFFF
// marking the end; the scanner reads them a line at a time into m_line so that a diagnostic can
// quote the whole line. Only one character of look-ahead is ever given back (m_pushedChar), and
// only one token (m_isBack).
#include "compiler/KvoScanner.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/KvoFile.h"
#include "platform/KvoFormat.h"
#include "platform/KvoMemory.h"
#include "platform/KvoText.h"

namespace {

// What a source returns once it is exhausted, and what get() returns from then on.
constexpr KvoChar END_OF_INPUT = 0xFFFF;
// Stands for a U+FFFF in the source, which would otherwise read as the end.
constexpr KvoChar REPLACEMENT_CHARACTER = 0xFFFD;
// The byte-order mark, as an editor may write it at the start of a UTF-8 file.
constexpr KvoChar BYTE_ORDER_MARK = 0xFEFF;

bool isDecimalDigit(KvoChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isHexDigit(KvoChar c)
{
    return isDecimalDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool isHighSurrogate(KvoChar c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool isLowSurrogate(KvoChar c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Identifier characters: upper- and lower-case letters, decimal digits and "_".
bool isIdChar(KvoChar c)
{
    if (c < 0x80)
        return c == u'_' || isDecimalDigit(c) || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    return kvoIsUpper(c) || kvoIsLower(c) || kvoIsDigit(c);
}

bool isSpace(KvoChar c)
{
    if (c < 0x80)
        return c == u' ' || (c >= u'\t' && c <= u'\r');
    return c != END_OF_INPUT && kvoIsSpace(c);
}

// Appends one unit, keeping at least one zero unit after the text.
void appendUnit(KvoCharBuffer& buffer, KvoChar c)
{
    if (buffer.size() + 1 >= buffer.capacity()) {
        if (buffer.capacity() > UINT32_MAX / 2)
            errorExit(1);
        buffer.setCapacity(buffer.capacity() * 2);
    }
    buffer.push_back(c);
}

// Replaces the buffer's text by length units of text, zero-terminated.
void setText(KvoCharBuffer& buffer, const KvoChar* text, std::size_t length)
{
    if (length >= UINT32_MAX)
        errorExit(1);
    buffer.clear();
    const auto count = static_cast<std::uint32_t>(length);
    if (buffer.capacity() <= count)
        buffer.setCapacity(count + 1);
    buffer.append(text, count);
}

void setText(KvoCharBuffer& buffer, const KvoChar* text)
{
    setText(buffer, text, kvoStrLen(text));
}

} // namespace

// A source of characters: the next UTF-16 unit, END_OF_INPUT when exhausted (and on every call
// after that). Destroying a source releases what it holds.
class KvoScannerSource
{
public:
    virtual ~KvoScannerSource() = default;
    virtual KvoChar next() = 0;
    // Why the source ended before its text did (a read error, the size bound); empty when it
    // ended as it should. Meaningful once next() returned END_OF_INPUT.
    virtual std::u16string failure() const { return {}; }
};

namespace {

// An open C file, decoded as UTF-8; closed on destruction. A byte that starts no valid sequence
// stands for itself; a character above U+FFFF comes as a surrogate pair in two calls. The file
// is read in blocks, at most KVO_MAX_SOURCE_BYTES bytes; a read error or a byte past the bound
// ends the source with a failure.
class FileSource final : public KvoScannerSource
{
public:
    explicit FileSource(std::FILE* file) : m_file(file), m_atEnd(file == nullptr) {}
    ~FileSource() override
    {
        if (m_file)
            kvoCloseFile(m_file);
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::u16string failure() const override
    {
        if (m_tooLarge)
            return kvoFormatString(KVO_MSG_SOURCE_TOO_LARGE_FORMAT, KVO_MAX_SOURCE_BYTES);
        if (m_readError != 0)
            return kvoFromUtf8(std::strerror(m_readError));
        return {};
    }

    KvoChar next() override
    {
        if (m_lowSurrogate) {
            const KvoChar low = m_lowSurrogate;
            m_lowSurrogate = 0;
            return low;
        }
        if (m_count == 0) {
            const int byte = readByte();
            if (byte < 0)
                return END_OF_INPUT;
            if (byte < 0x80)
                return static_cast<KvoChar>(byte); // ASCII, most of every source: nothing to decode
            m_bytes[m_count++] = static_cast<unsigned char>(byte);
        }
        // Fetch as many bytes as the lead byte asks for; the decoder takes only what forms a
        // valid sequence and the rest waits here for the next call.
        const std::size_t wanted = sequenceLength(m_bytes[0]);
        while (m_count < wanted) {
            const int byte = readByte();
            if (byte < 0)
                break;
            m_bytes[m_count++] = static_cast<unsigned char>(byte);
        }
        std::uint32_t codePoint = 0;
        const std::size_t used = kvoDecodeUtf8(m_bytes, m_count, &codePoint);
        for (std::size_t i = used; i < m_count; ++i)
            m_bytes[i - used] = m_bytes[i];
        m_count -= used;
        if (codePoint > 0xFFFF) {
            codePoint -= 0x10000;
            m_lowSurrogate = static_cast<KvoChar>(0xDC00 + (codePoint & 0x3FF));
            return static_cast<KvoChar>(0xD800 + (codePoint >> 10));
        }
        if (codePoint == END_OF_INPUT)
            return REPLACEMENT_CHARACTER;
        return static_cast<KvoChar>(codePoint);
    }

private:
    static std::size_t sequenceLength(unsigned char lead)
    {
        if (lead >= 0xF0)
            return 4;
        if (lead >= 0xE0)
            return 3;
        if (lead >= 0xC0)
            return 2;
        return 1;
    }

    // The next byte, or -1 at the end of the file (which is then final).
    int readByte()
    {
        if (m_next == m_filled && !fill())
            return -1;
        return m_buffer[m_next++];
    }

    // Reads the next block of the file into the buffer; false at its end.
    bool fill()
    {
        if (m_atEnd)
            return false;
        m_next = 0;
        m_filled = 0;
        if (m_bytesRead == KVO_MAX_SOURCE_BYTES) {
            // One more byte tells a file that ends at the bound from one that goes on.
            m_atEnd = true;
            if (std::fgetc(m_file) != EOF)
                m_tooLarge = true;
            return false;
        }
        const std::size_t wanted = std::min<std::size_t>(sizeof m_buffer, KVO_MAX_SOURCE_BYTES - m_bytesRead);
        errno = 0;
        const std::size_t got = std::fread(m_buffer, 1, wanted, m_file);
        if (got == 0) {
            m_atEnd = true;
            if (std::ferror(m_file))
                m_readError = errno != 0 ? errno : EIO;
            return false;
        }
        m_bytesRead += static_cast<std::uint32_t>(got);
        m_filled = got;
        return true;
    }

    std::FILE* m_file;
    bool m_atEnd;
    bool m_tooLarge = false;
    int m_readError = 0;           // errno of a failed read, 0 when none
    std::uint32_t m_bytesRead = 0; // bytes taken from the file
    unsigned char m_buffer[4096];
    std::size_t m_next = 0;        // the next byte of the buffer to deliver
    std::size_t m_filled = 0;      // bytes in the buffer
    unsigned char m_bytes[4] = {};
    std::size_t m_count = 0;     // bytes read but not yet decoded
    KvoChar m_lowSurrogate = 0;  // second half of a pair, delivered next
};

// A copy of a UTF-16 text; its terminating zero is the end.
class TextSource final : public KvoScannerSource
{
public:
    explicit TextSource(const KvoChar* text) : m_text(text), m_cursor(m_text.c_str()) {}

    KvoChar next() override
    {
        const KvoChar c = *m_cursor;
        if (c == 0)
            return END_OF_INPUT;
        ++m_cursor;
        return c == END_OF_INPUT ? REPLACEMENT_CHARACTER : c;
    }

private:
    KvoString m_text;
    const KvoChar* m_cursor;
};

} // namespace

KvoScanner::KvoScanner(std::FILE* file, const KvoChar* sourceName, KvoLong /*lineNumber*/, unsigned position)
    : KvoScanner(new FileSource(file), sourceName, position)
{
}

KvoScanner::KvoScanner(const KvoChar* text, const KvoChar* sourceName, KvoLong /*lineNumber*/, unsigned position)
    : KvoScanner(new TextSource(text), sourceName, position)
{
}

KvoScanner::KvoScanner(KvoScannerSource* source, const KvoChar* sourceName, unsigned position)
    : m_source(source), m_readPos(position), m_column(position), m_sourceName(sourceName)
{
}

KvoScanner::~KvoScanner()
{
    delete m_nested;
    delete m_source;
}

KvoScanner* KvoScanner::innermost() noexcept
{
    KvoScanner* scanner = this;
    while (scanner->m_nested)
        scanner = scanner->m_nested;
    return scanner;
}

const KvoScanner* KvoScanner::innermost() const noexcept
{
    const KvoScanner* scanner = this;
    while (scanner->m_nested)
        scanner = scanner->m_nested;
    return scanner;
}

bool KvoScanner::push(std::FILE* file, const KvoChar* sourceName)
{
    return pushSource(new FileSource(file), sourceName);
}

bool KvoScanner::push(const KvoChar* text, const KvoChar* sourceName)
{
    return pushSource(new TextSource(text), sourceName);
}

bool KvoScanner::pushSource(KvoScannerSource* source, const KvoChar* sourceName)
{
    KvoScanner* scanner = this;
    int depth = 0;
    while (scanner->m_nested) {
        scanner = scanner->m_nested;
        ++depth;
    }
    if (depth >= KVO_MAX_INCLUDE_DEPTH) {
        delete source;
        parseError(kvoFormatString(KVO_MSG_INCLUDE_TOO_DEEP_FORMAT, KVO_MAX_INCLUDE_DEPTH).c_str());
        return false;
    }
    scanner->m_nested = new KvoScanner(source, sourceName, 0);
    return true;
}

// The chain is at most KVO_MAX_INCLUDE_DEPTH + 1 scanners long, which bounds the recursion.
KvoToken KvoScanner::getToken()
{
    if (m_nested) {
        const KvoToken token = m_nested->getToken();
        if (token != TOK_EOF)
            return token;
        delete m_nested;
        m_nested = nullptr;
    }
    if (m_isBack) {
        m_isBack = false;
        if (m_hasSavedText) {
            m_tokenText = m_savedText;
            m_hasSavedText = false;
        }
        return m_token;
    }
    m_hasSavedText = false;
    m_token = readToken();
    return m_token;
}

bool KvoScanner::back()
{
    KvoScanner* scanner = innermost();
    // A scanner that has delivered nothing yet (just pushed) has no token to give back.
    if (scanner->m_isBack || scanner->m_token == TOK_NOTOKEN)
        return false;
    scanner->m_isBack = true;
    return true;
}

const KvoChar* KvoScanner::getTokenString() const noexcept
{
    return innermost()->m_tokenText.data();
}

const KvoChar* KvoScanner::getTokenName(KvoToken token) const noexcept
{
    if (token == TOK_ANY)
        return innermost()->m_char;
    return kvoTokenText(token);
}

KvoLong KvoScanner::getLong() const noexcept
{
    return innermost()->m_long;
}

double KvoScanner::getDouble() const noexcept
{
    return innermost()->m_double;
}

KvoChar KvoScanner::getChar() const noexcept
{
    return innermost()->m_char[0];
}

const KvoChar* KvoScanner::getSourceName() const noexcept
{
    return innermost()->m_sourceName.c_str();
}

KvoLong KvoScanner::getLineNumber() const noexcept
{
    return innermost()->m_lineNumber;
}

unsigned KvoScanner::getLinePos() const noexcept
{
    return innermost()->m_column;
}

KvoToken KvoScanner::parseError(const KvoChar* message)
{
    KvoScanner* scanner = innermost();
    // Keep the current token's own text, so that a token handed back after the diagnostic
    // comes back whole.
    if (!scanner->m_hasSavedText) {
        scanner->m_savedText = scanner->m_tokenText;
        scanner->m_hasSavedText = true;
    }
    const std::u16string text = scanner->formatDiagnostic(message ? message : u"");
    setText(scanner->m_tokenText, text.data(), text.size());
    return TOK_ERROR;
}

std::u16string KvoScanner::formatDiagnostic(const KvoChar* message) const
{
    return kvoFormatString(KVO_PARSE_ERROR_FORMAT, message, m_sourceName.c_str(), m_lineNumber, m_column,
                           m_line.data());
}

// An error found while reading a token: the diagnostic becomes the token text.
KvoToken KvoScanner::errorToken(const KvoChar* message)
{
    const std::u16string text = formatDiagnostic(message);
    setText(m_tokenText, text.data(), text.size());
    return TOK_ERROR;
}

// Character input. The read position counts units taken from the line; the column counts
// characters, so the second half of a surrogate pair does not move it.
KvoChar KvoScanner::get()
{
    if (m_pushedChar) {
        const KvoChar c = m_pushedChar;
        m_pushedChar = 0;
        return c;
    }
    if (m_readPos >= m_line.size() && !readLine())
        return END_OF_INPUT;
    const KvoChar c = m_line[m_readPos++];
    if (!(isLowSurrogate(c) && m_readPos >= 2 && isHighSurrogate(m_line[m_readPos - 2])))
        ++m_column;
    return c;
}

bool KvoScanner::accept(KvoChar expected)
{
    const KvoChar c = get();
    if (c == expected)
        return true;
    unget(c);
    return false;
}

// Reads the next source line into the line buffer, up to a line feed or the end of input
// (neither kept), and ends it with a line feed. A NUL ends the line's text: the rest of the line
// is skipped but its line feed still ends it. A byte-order mark that starts the first line is
// dropped. Returns false when the source was exhausted before.
bool KvoScanner::readLine()
{
    if (m_lastChar == END_OF_INPUT)
        return false;
    m_line.clear();
    bool skipping = false;
    KvoChar c = m_source->next();
    if (m_lineNumber == 0 && c == BYTE_ORDER_MARK)
        c = m_source->next();
    for (; c != u'\n' && c != END_OF_INPUT; c = m_source->next()) {
        if (c == 0)
            skipping = true;
        if (!skipping)
            appendUnit(m_line, c);
    }
    m_lastChar = c;
    appendUnit(m_line, u'\n');
    if (m_lineNumber < INT32_MAX)
        ++m_lineNumber;
    m_readPos = 0;
    m_column = 0;
    return true;
}

KvoChar KvoScanner::skipSpaces()
{
    KvoChar c = get();
    while (isSpace(c))
        c = get();
    return c;
}

KvoToken KvoScanner::readToken()
{
    for (;;) {
        const KvoChar c = skipSpaces();
        m_tokenText.clear();
        m_char[0] = c;
        switch (c) {
        case END_OF_INPUT:
            m_char[0] = 0;
            if (!m_failureReported) {
                // A source that ended early says why once, before its end of input.
                m_failureReported = true;
                const std::u16string failure = m_source->failure();
                if (!failure.empty())
                    return errorToken(failure.c_str());
            }
            return TOK_EOF;
        case u'"':
            return readString();
        case u'\'':
            return readCharLiteral();
        case u'/':
            if (accept(u'*')) {
                skipBlockComment();
                continue;
            }
            if (accept(u'/')) {
                skipLineComment();
                continue;
            }
            break;
        case u'#':
            if (accept(u'!')) {
                skipLineComment();
                continue;
            }
            break;
        case u'@':
            skipLineComment();
            continue;
        default:
            if (isDecimalDigit(c))
                return readNumberToken(c);
            if (isIdChar(c))
                return readIdentifier(c);
            break;
        }
        return readOperator(c);
    }
}

// comment -> "/*" ... ("*/" | end of input)
void KvoScanner::skipBlockComment()
{
    KvoChar previous = 0;
    for (;;) {
        const KvoChar c = get();
        if (c == END_OF_INPUT || (previous == u'*' && c == u'/'))
            return;
        previous = c;
    }
}

// comment -> ("//" | "#!" | "@") ... (line feed | end of input)
void KvoScanner::skipLineComment()
{
    KvoChar c;
    do
        c = get();
    while (c != u'\n' && c != END_OF_INPUT);
}

// Operators of one to three characters; any other character is the single-character token.
KvoToken KvoScanner::readOperator(KvoChar c)
{
    KvoToken token = TOK_ANY;
    switch (c) {
    case u'+':
        token = accept(u'+') ? TOK_INC : accept(u'=') ? TOK_ADD_ASSIGN : TOK_ANY;
        break;
    case u'-':
        token = accept(u'-') ? TOK_DEC : accept(u'=') ? TOK_SUB_ASSIGN : accept(u'>') ? TOK_ARROW : TOK_ANY;
        break;
    case u'*':
        token = accept(u'=') ? TOK_MUL_ASSIGN : TOK_ANY;
        break;
    case u'/': // comments are recognised before
        token = accept(u'=') ? TOK_DIV_ASSIGN : TOK_ANY;
        break;
    case u'%':
        token = accept(u'=') ? TOK_REM_ASSIGN : TOK_ANY;
        break;
    case u'&':
        token = accept(u'&') ? TOK_AND : accept(u'=') ? TOK_BAND_ASSIGN : TOK_ANY;
        break;
    case u'|':
        token = accept(u'=') ? TOK_BOR_ASSIGN : accept(u'|') ? TOK_OR : TOK_ANY;
        break;
    case u'^':
        token = accept(u'=') ? TOK_XOR_ASSIGN : TOK_ANY;
        break;
    case u'~':
        token = accept(u'=') ? TOK_BNOT_ASSIGN : TOK_ANY;
        break;
    case u'!':
        token = accept(u'=') ? TOK_NE : TOK_ANY;
        break;
    case u'=':
        token = accept(u'=') ? TOK_EQ : accept(u'>') ? TOK_DOUBLE_ARROW : TOK_ANY;
        break;
    case u'<':
        if (accept(u'<'))
            token = accept(u'=') ? TOK_SHL_ASSIGN : TOK_SHL;
        else
            token = accept(u'=') ? TOK_LE : TOK_ANY;
        break;
    case u'>':
        if (accept(u'>'))
            token = accept(u'=') ? TOK_SHR_ASSIGN : TOK_SHR;
        else
            token = accept(u'=') ? TOK_GE : TOK_ANY;
        break;
    case u':':
        token = accept(u':') ? TOK_SCOPE : TOK_ANY;
        break;
    default:
        break;
    }
    if (token == TOK_ANY)
        setText(m_tokenText, m_char, 1);
    else
        setText(m_tokenText, kvoTokenText(token));
    return token;
}

// identifier -> idchar idchar*; a keyword when the text is in the keyword table.
KvoToken KvoScanner::readIdentifier(KvoChar c)
{
    do {
        appendUnit(m_tokenText, c);
        c = get();
    } while (isIdChar(c));
    unget(c);
    return kvoFindKeyword(m_tokenText.data(), m_tokenText.size());
}

// number -> digit (digit | "." | ("e" | "E") [digit | "+" | "-"] | "x" after "0" | hexdigit after "x")*
// Collects the characters into m_numberText and returns TOK_LONG or TOK_FLOAT; the text is
// converted by the caller. Only the first "." counts; the first character that does not fit is
// given back.
KvoToken KvoScanner::readNumber(KvoChar c)
{
    m_numberText.clear();
    appendUnit(m_numberText, c);
    bool isFloat = false;
    bool hasDot = false;
    bool isHex = false;
    KvoChar previous = c;
    for (;;) {
        c = get();
        if (isDecimalDigit(c) || (isHex && isHexDigit(c))) {
            // taken as it is
        }
        else if (!isHex && c == u'.' && !hasDot) {
            hasDot = true;
            isFloat = true;
        }
        else if (!isHex && (c == u'e' || c == u'E')) {
            isFloat = true;
            appendUnit(m_numberText, c);
            c = get();
            if (!isDecimalDigit(c) && c != u'+' && c != u'-') {
                unget(c);
                break;
            }
        }
        else if (!isHex && (c == u'x' || c == u'X') && previous == u'0') {
            isHex = true;
        }
        else {
            unget(c);
            break;
        }
        appendUnit(m_numberText, c);
        previous = c;
    }
    return isFloat ? TOK_FLOAT : TOK_LONG;
}

// A number token: its characters become the token text, its value m_long or m_double.
KvoToken KvoScanner::readNumberToken(KvoChar c)
{
    const KvoToken token = readNumber(c);
    setText(m_tokenText, m_numberText.data(), m_numberText.size());
    if (token == TOK_FLOAT) {
        // The text starts with a digit, so the conversion always succeeds.
        m_double = 0;
        kvoScanDouble(m_numberText.data(), &m_double);
        return TOK_FLOAT;
    }
    if (const KvoChar* error = convertInteger(&m_long))
        return errorToken(error);
    return TOK_LONG;
}

// Converts m_numberText as C's strtol with base 0 would (0x hexadecimal, leading 0 octal, else
// decimal, stopping at the first character that does not fit). A value up to 0xFFFFFFFF is taken
// as its 32-bit pattern, so 0xFFFFFFFF is -1 and -2147483648 can be written. Returns the
// diagnostic message for a value that needs more bits, otherwise null.
const KvoChar* KvoScanner::convertInteger(KvoLong* value) const
{
    bool overflow = false;
    const KvoULong bits = kvoStrToUL(m_numberText.data(), nullptr, 0, &overflow);
    if (overflow)
        return KVO_MSG_INTEGER_TOO_LARGE;
    *value = static_cast<KvoLong>(bits);
    return nullptr;
}

// Escapes, after a backslash: a b f n r t v, a numeric escape (decimal, 0 octal, 0x hex; the low
// 16 bits of the value), or the character itself. At the end of input the backslash stands for
// itself and the end is seen next. Sets *error to the message of a bad numeric escape.
KvoChar KvoScanner::readEscape(const KvoChar** error)
{
    const KvoChar c = get();
    switch (c) {
    case u'a':
        return 7;
    case u'b':
        return 8;
    case u'f':
        return 12;
    case u'n':
        return 10;
    case u'r':
        return 13;
    case u't':
        return 9;
    case u'v':
        return 11;
    case END_OF_INPUT:
        unget(c);
        return u'\\';
    default:
        break;
    }
    if (!isDecimalDigit(c))
        return c;
    if (readNumber(c) == TOK_FLOAT) {
        *error = KVO_MSG_NUMBER_EXPECTED;
        return 0;
    }
    KvoLong value = 0;
    *error = convertInteger(&value);
    return static_cast<KvoChar>(static_cast<KvoULong>(value) & 0xFFFF);
}

// string -> '"' (char | escape)* '"' [space* string]; ends without error at the end of input.
// A bad escape is reported where it stands, after the rest of the literal has been read, so that
// scanning goes on behind the literal.
KvoToken KvoScanner::readString()
{
    std::u16string diagnostic;
    for (;;) {
        KvoChar c = get();
        if (c == END_OF_INPUT)
            break;
        if (c == u'"') {
            c = skipSpaces();
            if (c == u'"')
                continue;
            unget(c);
            break;
        }
        if (c == u'\\') {
            const KvoChar* error = nullptr;
            c = readEscape(&error);
            if (error) {
                if (diagnostic.empty())
                    diagnostic = formatDiagnostic(error);
                continue;
            }
        }
        appendUnit(m_tokenText, c);
    }
    if (!diagnostic.empty()) {
        setText(m_tokenText, diagnostic.data(), diagnostic.size());
        return TOK_ERROR;
    }
    return TOK_STRING;
}

// character -> "'" (char | escape) "'", a TOK_LONG with the character's code.
KvoToken KvoScanner::readCharLiteral()
{
    KvoChar c = get();
    if (c == END_OF_INPUT) {
        unget(c);
        return errorToken(KVO_MSG_CLOSING_QUOTE_EXPECTED);
    }
    const KvoChar* error = nullptr;
    if (c == u'\\')
        c = readEscape(&error);
    if (error) {
        const std::u16string diagnostic = formatDiagnostic(error);
        // Resume behind the literal when it is closed as it should be.
        (void)accept(u'\'');
        setText(m_tokenText, diagnostic.data(), diagnostic.size());
        return TOK_ERROR;
    }
    const KvoChar close = get();
    if (close != u'\'') {
        unget(close);
        return errorToken(KVO_MSG_CLOSING_QUOTE_EXPECTED);
    }
    m_long = c;
    setText(m_tokenText, &c, 1);
    return TOK_LONG;
}
