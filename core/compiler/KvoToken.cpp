// The display texts and the keyword table, both generated from KVO_TOKENS.
#include "compiler/KvoToken.h"

#include <cstdint>
#include <string_view>

namespace {

constexpr const KvoChar* TOKEN_TEXTS[KVO_TOKEN_COUNT] = {
#define KVO_TOKEN_TEXT(name, code, text, keyword) text,
    KVO_TOKENS(KVO_TOKEN_TEXT)
#undef KVO_TOKEN_TEXT
};

// The enumerators are listed in code order, so the text of code n is TOKEN_TEXTS[n].
constexpr bool textsInCodeOrder()
{
    int index = 0;
#define KVO_TOKEN_ORDER(name, code, text, keyword) \
    if (code != index++)                           \
        return false;
    KVO_TOKENS(KVO_TOKEN_ORDER)
#undef KVO_TOKEN_ORDER
    return true;
}
static_assert(textsInCodeOrder(), "KVO_TOKENS must list the codes in order");

struct Keyword
{
    std::u16string_view text;
    KvoToken token;
};

constexpr Keyword KEYWORDS[] = {
#define KVO_TOKEN_KEYWORD(name, code, text, keyword) {keyword ? std::u16string_view(text) : std::u16string_view(), name},
    KVO_TOKENS(KVO_TOKEN_KEYWORD)
#undef KVO_TOKEN_KEYWORD
    {u"nil", TOK_NULL},
};

// Bounds of the keyword lengths, so that most identifiers skip the table.
constexpr std::size_t keywordLength(bool longest)
{
    std::size_t result = longest ? 0 : SIZE_MAX;
    for (const Keyword& keyword : KEYWORDS) {
        if (keyword.text.empty())
            continue;
        if (longest ? keyword.text.size() > result : keyword.text.size() < result)
            result = keyword.text.size();
    }
    return result;
}
constexpr std::size_t SHORTEST_KEYWORD = keywordLength(false);
constexpr std::size_t LONGEST_KEYWORD = keywordLength(true);

} // namespace

const KvoChar* kvoTokenText(KvoToken token) noexcept
{
    if (token < 0 || token >= KVO_TOKEN_COUNT)
        return u"invalid token";
    return TOKEN_TEXTS[token];
}

KvoToken kvoFindKeyword(const KvoChar* text, std::size_t length) noexcept
{
    if (text == nullptr || length < SHORTEST_KEYWORD || length > LONGEST_KEYWORD)
        return TOK_IDENT;
    const std::u16string_view word(text, length);
    for (const Keyword& keyword : KEYWORDS) {
        if (!keyword.text.empty() && keyword.text == word)
            return keyword.token;
    }
    return TOK_IDENT;
}
