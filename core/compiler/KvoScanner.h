// KvoScanner: turns script source text into tokens for the compiler. A scanner reads one source
// (a C file decoded as UTF-8, or a UTF-16 text in memory), keeps the current source line so that
// diagnostics can quote it, and hands back one token at a time, with a one-token push-back.
// Scanners chain: push() hangs a nested scanner (an included file) below the innermost one; its
// tokens come first, and when it reaches its end it is destroyed (closing its file) and the
// enclosing scanner continues. Every operation except the constructors and getToken acts on the
// innermost scanner of the chain.
//
// Invariants: the token text and the line buffer are always zero-terminated; the line buffer
// holds the current line ending in a line feed (or nothing before the first line); the end of
// input is the code unit 0xFFFF, so a U+FFFF in the source is read as U+FFFD. A byte-order mark
// (U+FEFF) that starts a source is not part of its text.
//
// A file source is read up to KVO_MAX_SOURCE_BYTES bytes: a file that goes on (a device, a pipe
// that is never closed, a file that keeps growing) ends there, and a file that cannot be read (a
// directory) ends at once. Either way the scanner delivers one TOK_ERROR whose diagnostic says
// why, quoting the file's name, before its end of input.
#pragma once

#include <cstdio>
#include <string>

#include "compiler/KvoToken.h"
#include "platform/KvoTypes.h"
#include "stdlib/KvoLibLimits.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoString.h"

// Where a scanner's characters come from (a file or a text); defined with the scanner.
class KvoScannerSource;

// The texts of the scanner's diagnostics (the message part given to parseError).
inline constexpr const KvoChar* KVO_MSG_NUMBER_EXPECTED = u"number literal expected";
inline constexpr const KvoChar* KVO_MSG_CLOSING_QUOTE_EXPECTED = u"closing single quote expected";
// An integer literal (or numeric escape) whose value needs more than 32 bits.
inline constexpr const KvoChar* KVO_MSG_INTEGER_TOO_LARGE = u"integer literal too large";
// push() beyond KVO_MAX_INCLUDE_DEPTH; %d is the limit.
inline constexpr const KvoChar* KVO_MSG_INCLUDE_TOO_DEEP_FORMAT = u"include files nested too deeply (limit is %d)";
// A file source longer than KVO_MAX_SOURCE_BYTES; %u is the limit. (A file that cannot be read
// is reported with the system's text for the reason, such as "Is a directory".)
inline constexpr const KvoChar* KVO_MSG_SOURCE_TOO_LARGE_FORMAT = u"source file too large (limit is %u bytes)";

// The layout of every front-end diagnostic: message, source name, line number, position (column
// in characters of the last character read) and the current line text, which ends in its own
// line feed.
inline constexpr const KvoChar* KVO_PARSE_ERROR_FORMAT = u"--> %s \nin %s line %ld pos %u \n%s\n";

// How many sources may be pushed below the first one (nested includes).
constexpr int KVO_MAX_INCLUDE_DEPTH = 64;
// The most bytes read from one file source: as many as a string of the library may hold
// characters, the bound that compile() of a script's stream keeps as well.
constexpr std::uint32_t KVO_MAX_SOURCE_BYTES = kvoLibMaxCount(sizeof(KvoChar));

class KVO_API KvoScanner
{
public:
    // A scanner over an open file, read in blocks and decoded as UTF-8 (a byte that starts no
    // valid UTF-8 sequence stands for itself, 0..255). Takes ownership of the file: it is closed
    // when the scanner is destroyed. A null file is an empty source. sourceName (copied) is what
    // diagnostics quote. lineNumber is not used: the first line read is line 1. position is the
    // initial read position, 0 at every call site.
    KvoScanner(std::FILE* file, const KvoChar* sourceName, KvoLong lineNumber = 0, unsigned position = 0);
    // A scanner over a UTF-16 text, which is copied; a null text is an empty source.
    KvoScanner(const KvoChar* text, const KvoChar* sourceName, KvoLong lineNumber = 0, unsigned position = 0);
    // Destroys the nested scanners and the source, closing a file source.
    ~KvoScanner();

    KvoScanner(const KvoScanner&) = delete;
    KvoScanner& operator=(const KvoScanner&) = delete;

    // Attaches a new scanner over the file (owned from now on, as by the constructor) or the text
    // below the innermost scanner; its tokens are delivered next, then the current source goes
    // on after the token last read. Returns false when KVO_MAX_INCLUDE_DEPTH sources are already
    // pushed: the file is closed all the same and the diagnostic (KVO_MSG_INCLUDE_TOO_DEEP_FORMAT
    // through parseError) is left in the token text, ready to be printed.
    [[nodiscard]] bool push(std::FILE* file, const KvoChar* sourceName);
    [[nodiscard]] bool push(const KvoChar* text, const KvoChar* sourceName);

    // The next token of the chain. A nested scanner's TOK_EOF is never delivered: the scanner is
    // destroyed and the enclosing one continues. After the last source, TOK_EOF again and again.
    KvoToken getToken();
    // Hands the current token back so that the next getToken returns it again (with the same
    // text and value, even if parseError has been called since). Only one token can be handed
    // back: a second call before the next getToken returns false and changes nothing.
    bool back();

    // The token text: identifier or keyword text, the characters of a number, the contents of a
    // string literal, the operator or character of other tokens, or the last diagnostic. Valid
    // until the next getToken, parseError or push. Never null.
    const KvoChar* getTokenString() const noexcept;
    // The display text of a token (kvoTokenText); for TOK_ANY the current single character as a
    // one-character string (valid until the next getToken).
    const KvoChar* getTokenName(KvoToken token) const noexcept;
    // The value of the current TOK_LONG (number or character literal) and TOK_FLOAT, and the
    // character of the current TOK_ANY.
    KvoLong getLong() const noexcept;
    double getDouble() const noexcept;
    KvoChar getChar() const noexcept;

    // The source name, line number (1 for the first line) and read position (1-based column, in
    // characters, of the last character taken from the line) of the innermost scanner.
    const KvoChar* getSourceName() const noexcept;
    KvoLong getLineNumber() const noexcept;
    unsigned getLinePos() const noexcept;

    // Formats a diagnostic for message with KVO_PARSE_ERROR_FORMAT into the token text of the
    // innermost scanner and returns TOK_ERROR. The caller prints getTokenString(). The current
    // token stays what it was (back() still re-delivers it with its own text).
    KvoToken parseError(const KvoChar* message);

private:
    // Takes ownership of source.
    KvoScanner(KvoScannerSource* source, const KvoChar* sourceName, unsigned position);
    // The last scanner of the chain (this one when nothing is pushed).
    KvoScanner* innermost() noexcept;
    const KvoScanner* innermost() const noexcept;
    // push() for either kind of source; takes ownership of source.
    bool pushSource(KvoScannerSource* source, const KvoChar* sourceName);

    // Character input: the next character of the line buffer (reading the next line when it is
    // used up), 0xFFFF at the end; unget gives one character back; accept takes the next
    // character only when it is the expected one.
    KvoChar get();
    void unget(KvoChar c) noexcept { m_pushedChar = c; }
    bool accept(KvoChar expected);
    bool readLine();
    KvoChar skipSpaces();

    // Token recognition; each reader starts after the token's first character c (or the opening
    // quote) and leaves the first character after the token given back.
    KvoToken readToken();
    KvoToken readOperator(KvoChar c);
    void skipBlockComment();
    void skipLineComment();
    KvoToken readIdentifier(KvoChar c);
    KvoToken readNumber(KvoChar c);
    KvoToken readNumberToken(KvoChar c);
    const KvoChar* convertInteger(KvoLong* value) const;
    KvoToken readString();
    KvoToken readCharLiteral();
    KvoChar readEscape(const KvoChar** error);

    // Diagnostics of this scanner: the formatted text, and an error token carrying it.
    KvoToken errorToken(const KvoChar* message);
    std::u16string formatDiagnostic(const KvoChar* message) const;

    KvoCharBuffer m_tokenText{50};       // text of the current token; zero-terminated
    double m_double = 0;                  // value of the current TOK_FLOAT
    KvoLong m_long = 0;                   // value of the current TOK_LONG
    KvoChar m_char[2] = {0, 0};           // the current single character, as a string
    KvoScannerSource* m_source = nullptr; // owned
    KvoToken m_token = TOK_NOTOKEN;       // the current token
    bool m_isBack = false;                // the current token has been handed back
    KvoChar m_pushedChar = 0;             // a character read ahead and given back; 0 when none
    KvoChar m_lastChar = 0;               // last character obtained from the source
    KvoCharBuffer m_line{50};             // the current line, ending in a line feed
    unsigned m_readPos = 0;               // units of m_line taken so far
    unsigned m_column = 0;                // characters of m_line taken so far
    KvoLong m_lineNumber = 0;             // number of lines read
    KvoScanner* m_nested = nullptr;       // owned; null when none
    KvoString m_sourceName;
    KvoCharBuffer m_savedText{1};         // the token text that parseError displaced
    bool m_hasSavedText = false;          // m_savedText holds the current token's text
    KvoCharBuffer m_numberText{16};       // characters of the number being read
    bool m_failureReported = false;       // the source's failure has been delivered as TOK_ERROR
};
