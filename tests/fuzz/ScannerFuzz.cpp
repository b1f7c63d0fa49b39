// libFuzzer target for the scanner. Each input is scanned twice to the end: as UTF-16 text (the
// bytes taken in pairs, little-endian) and as a file (the bytes through fmemopen, decoded as
// UTF-8). Along the way the harness hands tokens back, formats diagnostics and pushes the text
// of string tokens as nested sources, and traps when an invariant breaks: a token handed back
// must come back unchanged, a single-character token has a one-character name, a diagnostic has
// its fixed layout, and every token consumes input, so the token count stays bounded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "compiler/KvoScanner.h"
#include "platform/KvoText.h"

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void scanToEnd(KvoScanner& scanner, std::size_t inputSize)
{
    // Each token but the synthetic line ends consumes at least one unit of some source, and a
    // nested source is never longer than its parent's input; the bound is generous on purpose.
    const std::size_t limit = (inputSize + 2) * (KVO_MAX_INCLUDE_DEPTH + 2) * 2;
    std::size_t count = 0;
    for (KvoToken token = scanner.getToken(); token != TOK_EOF; token = scanner.getToken()) {
        check(++count <= limit);
        check(token > TOK_NOTOKEN && token <= TOK_ANY);
        check(scanner.getTokenString() != nullptr);
        if (token == TOK_ANY)
            check(kvoStrLen(scanner.getTokenName(TOK_ANY)) == 1);
        if (count % 5 == 0) {
            const std::u16string before = scanner.getTokenString();
            const KvoLong value = scanner.getLong();
            if (count % 10 == 0) {
                const KvoToken error = scanner.parseError(u"fuzz");
                check(error == TOK_ERROR);
                check(std::u16string(scanner.getTokenString()).rfind(u"--> fuzz \nin ", 0) == 0);
            }
            check(scanner.back());
            check(!scanner.back());
            check(scanner.getToken() == token);
            check(before == scanner.getTokenString());
            check(scanner.getLong() == value);
        }
        // The token text moves whenever the scanner replaces it: read it afresh.
        const std::u16string text = scanner.getTokenString();
        if (token == TOK_ERROR)
            check(text.rfind(u"--> ", 0) == 0);
        if (token == TOK_STRING && count % 3 == 0) {
            const std::u16string nested = text;
            if (!scanner.push(nested.c_str(), u"nested"))
                check(std::u16string(scanner.getTokenString()).rfind(u"--> ", 0) == 0);
        }
    }
    check(scanner.getToken() == TOK_EOF);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::u16string text;
    text.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2)
        text.push_back(static_cast<KvoChar>(data[i] | (data[i + 1] << 8)));
    {
        KvoScanner scanner(text.c_str(), u"text");
        scanToEnd(scanner, text.size());
    }
    if (size > 0) {
        std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
        if (file) {
            KvoScanner scanner(file, u"file");
            scanToEnd(scanner, size);
        }
    }
    return 0;
}
