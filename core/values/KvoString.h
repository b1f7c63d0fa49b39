// KvoString: counted UTF-16 text, used for every name, literal and message.
// Invariant: the text is either absent (null pointer, length and capacity 0) or one runtime-heap
// block of capacity + 1 code units whose first length units are the text, followed by a zero
// (length <= capacity). The length is stored, so no operation counts it again; appending grows
// the block geometrically, so building a string piece by piece takes linear time. A string
// without text behaves as "".
// The text always ends at its first zero, as c_str() shows it: writing through operator[] may
// put a zero inside it, so such a write makes the next use of the length count it afresh.
// The string remembers the hash of its text (hashText, the dictionaries' hash) once asked for it;
// every change of the text through a member forgets it. Native code can also write into the
// block through an address handed out by exposeText() (addr), which no member sees: such a
// string computes its hash afresh on every request for as long as it keeps that block.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "values/KvoValue.h"

class KVO_API KvoString : public KvoRefObject
{
public:
    KvoString() noexcept = default;
    // Copy of the text; null gives no text.
    KvoString(const KvoChar* text);
    // Copy of length units of text (which need not be terminated).
    KvoString(const KvoChar* text, std::size_t length);
    // Converted from UTF-8; null gives no text.
    explicit KvoString(const char* text);
    KvoString(const KvoString& other);
    KvoString(KvoString&& other) noexcept;
    // Script formatting: the values args[0] .. args[argc-1] formatted by fmt (see KvoString.cpp).
    // The text is not bounded (but for the longest string); formatScript is the bounded form.
    KvoString(const KvoChar* fmt, unsigned argc, ValPtr& args);
    ~KvoString() override;

    KvoString& operator=(const KvoString& other);
    KvoString& operator=(KvoString&& other) noexcept;
    KvoString& operator=(const KvoChar* text);
    KvoString& operator+=(const KvoString& other);
    KvoString& operator+=(const KvoChar* text);
    KvoString& operator+=(KvoChar c);
    KvoString operator+(const KvoString& other) const;
    // Character i, without any check. The caller may write through the reference (a zero
    // shortens the text), so the length is counted again on its next use.
    KvoChar& operator[](std::size_t i) noexcept
    {
        m_recount = true;
        textChanged();
        return m_text[i];
    }

    // wcscmp order of the two texts; no text compares as "".
    int compare(const KvoString& other) const noexcept;
    // Case-insensitive order (_wcsicmp).
    int icompare(const KvoString& other) const noexcept;
    bool operator<(const KvoString& other) const noexcept { return compare(other) < 0; }
    bool operator==(const KvoString& other) const noexcept { return compare(other) == 0; }

    // Number of characters before the terminating zero.
    std::uint32_t length() const noexcept
    {
        if (m_recount)
            recount();
        return m_length;
    }
    // Characters the text can grow to without a new block.
    std::uint32_t capacity() const noexcept { return m_capacity; }
    bool hasText() const noexcept { return m_text != nullptr; }
    // The text, or a static empty text (never null).
    const KvoChar* c_str() const noexcept { return m_text ? m_text : u""; }
    const KvoChar* w_str() const noexcept { return c_str(); }
    // The UTF-8 form in a per-thread buffer shared by all strings; valid until the next a_str
    // call on this thread.
    const char* a_str() const;
    // Frees the text.
    void clear() noexcept;

    // FNV-1a over the code units of text up to its first zero: the hash the dictionaries index by.
    static std::uint32_t hashText(const KvoChar* text) noexcept
    {
        std::uint32_t hash = 2166136261u;
        for (; *text; ++text) {
            hash ^= *text;
            hash *= 16777619u;
        }
        return hash;
    }
    // hashText(c_str()), remembered until the text changes (see the class comment).
    std::uint32_t hash() const noexcept
    {
        if (m_hashed)
            return m_hash;
        return computeHash();
    }
    // The address of the characters for code that may write through it (addr, native calls,
    // structure fields), or of a static empty text when there is none. From then on, and for as
    // long as the string keeps this block, its hash is never taken from memory.
    KvoChar* exposeText() noexcept
    {
        if (!m_text)
            return const_cast<KvoChar*>(u"");
        m_exposed = true;
        textChanged();
        return m_text;
    }

    // Whether the hash of the text is remembered (then hash() makes no call), and that hash.
    bool hashRemembered() const noexcept { return m_hashed; }
    std::uint32_t rememberedHash() const noexcept { return m_hash; }
    // Whether the stored length is the text's, known without counting it: no write through
    // operator[] is pending and no native code may have written into the block.
    bool lengthKnown() const noexcept { return !m_recount && !m_exposed; }
    // Whether the texts are equal, compared inline; only for strings whose lengths are known.
    bool sameKnownText(const KvoString& other) const noexcept
    {
        if (m_length != other.m_length)
            return false;
        for (std::uint32_t i = 0; i < m_length; ++i) {
            if (m_text[i] != other.m_text[i])
                return false;
        }
        return true;
    }
    // How many times a member has changed the text (or handed out its address): equal counts
    // of one string object mean the same text, unless the block is exposed (see exposeText),
    // whose writes nobody counts.
    std::uint64_t changes() const noexcept { return m_changes; }
    bool isExposed() const noexcept { return m_exposed; }

    // Index of the first occurrence at or after pos; -1 when none, without text or pos >= length.
    std::int32_t find(const KvoString& s, std::uint32_t pos) const noexcept;
    std::int32_t find(KvoChar c, std::uint32_t pos) const noexcept;
    // New string of count characters from pos; a negative count or one past the end means to the end.
    KvoString substr(std::uint32_t pos, std::int32_t count) const;
    // Removes count characters at pos (negative or too large: to the end); removing all leaves
    // no text.
    KvoString& erase(std::uint32_t pos, std::int32_t count);
    // Inserts s before character pos; pos == length appends; pos > length changes nothing.
    KvoString& insert(std::uint32_t pos, const KvoString& s);
    // Inserts count copies of c before character pos.
    KvoString& insert(std::uint32_t pos, KvoChar c, std::uint32_t count);
    // Replaces every occurrence of from by to, left to right; replaced text is not searched again.
    KvoString& replace(const KvoString& from, const KvoString& to);
    // The same, when the result has at most maxLength characters; otherwise false, and the
    // string is left as it was (the result's length is computed before anything is allocated).
    bool replace(const KvoString& from, const KvoString& to, std::uint32_t maxLength);
    KvoString& replace(KvoChar from, KvoChar to) noexcept;

    // printf-style formatting over a UTF-16 format; a null format gives no text.
    static KvoString format(const KvoChar* fmt, ...);
    static KvoString formatV(const KvoChar* fmt, va_list args);
    // The decimal text of an integer value, as format(u"%ld", value) gives it, without the
    // formatter.
    static KvoString decimal(std::int32_t value);
    // Script formatting into out (replacing its text), as the formatting constructor does, when
    // the text has at most maxLength characters; otherwise false, and out is left as it was.
    // Every piece is checked before it is added, so a failing format never holds much more than
    // maxLength characters.
    static bool formatScript(KvoString& out, const KvoChar* fmt, unsigned argc, ValPtr& args, std::uint32_t maxLength);

private:
    // Takes ownership of a runtime-heap block of capacity + 1 units holding length characters
    // and a zero (or of no block), freeing the old one.
    void adopt(KvoChar* block, std::uint32_t length, std::uint32_t capacity) noexcept;
    void assignText(const KvoChar* text, std::size_t length);
    void appendText(const KvoChar* text, std::size_t length);
    // Sets the length to the position of the first zero (after a write through operator[]).
    void recount() const noexcept;
    // Hashes the text, and remembers the hash unless the block is exposed.
    std::uint32_t computeHash() const noexcept;
    // Every change of the text: the hash is forgotten and the change counted.
    void textChanged() noexcept
    {
        m_hashed = false;
        ++m_changes;
    }

    KvoChar* m_text = nullptr;
    std::uint64_t m_changes = 0;
    mutable std::uint32_t m_length = 0;
    std::uint32_t m_capacity = 0;
    mutable std::uint32_t m_hash = 0;
    mutable bool m_recount = false;
    mutable bool m_hashed = false; // m_hash is the hash of the text
    bool m_exposed = false;        // the block's address was handed out for writing
};

// Appends the text that the print function writes for a value: integers as "%ld", floats and
// doubles as "%f", strings as their text, anything else as "(TYPE:%p)" with the payload pointer.
KVO_API void appendPrintText(KvoString& out, const KvoValue& value);
