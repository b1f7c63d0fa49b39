// How the interactive prompt shows a value (see KivoValueFormat.h).
#include "KivoValueFormat.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "platform/KvoText.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"
#include "vm/KvoInterpreter.h"

namespace {

std::u16string ascii(const char* text)
{
    return kvoFromUtf8(text);
}

std::u16string number(long long value)
{
    return ascii(std::to_string(value).c_str());
}

// A double as the shortest text that reads back as the same value, always with a point or an
// exponent so that it does not look like an integer.
std::u16string real(double value)
{
    if (std::isnan(value))
        return u"nan";
    if (std::isinf(value))
        return value < 0 ? u"-inf" : u"inf";
    char text[40];
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    std::string result(text);
    if (result.find_first_of(".eE") == std::string::npos)
        result += ".0";
    return ascii(result.c_str());
}

// text quoted, with the escapes a script would write for it.
std::u16string quoted(const KvoChar* text, std::size_t length)
{
    std::u16string out = u"\"";
    const std::size_t shown = length > KIVO_FORMAT_MAX_STRING ? KIVO_FORMAT_MAX_STRING : length;
    for (std::size_t i = 0; i < shown; ++i) {
        const KvoChar c = text[i];
        switch (c) {
        case u'"': out += u"\\\""; break;
        case u'\\': out += u"\\\\"; break;
        case u'\n': out += u"\\n"; break;
        case u'\r': out += u"\\r"; break;
        case u'\t': out += u"\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
                out += ascii(escape);
            } else {
                out += c;
            }
        }
    }
    if (shown < length)
        out += u"...";
    out += u"\"";
    return out;
}

class Formatter
{
public:
    explicit Formatter(KvoInterpreter* interpreter) : m_interpreter(interpreter) {}

    std::u16string format(const KvoValue& value, int depth)
    {
        switch (value.getType()) {
        case KVT_NULL:
            return u"null";
        case KVT_INTEGER:
            return number(value.getLong());
        case KVT_FLOAT:
        case KVT_DOUBLE:
            return real(value.getDouble());
        case KVT_STRING:
        case KVT_STRINGREF:
            if (const KvoString* text = value.getString())
                return quoted(text->c_str(), text->length());
            return u"null";
        case KVT_CHARBUFFER:
        case KVT_CHARBUFFERREF:
            if (const KvoCharBuffer* buffer = value.getCharBuffer()) {
                const KvoString text(buffer->data(), buffer->size());
                return u"CBuf(" + quoted(text.c_str(), text.length()) + u")";
            }
            return u"null";
        case KVT_BUFFER:
        case KVT_BUFFERREF:
            if (const KvoBuffer* buffer = value.getBuffer())
                return u"<buffer of " + number(buffer->size()) + u" bytes>";
            return u"null";
        case KVT_VECTOR:
        case KVT_VECTORREF:
            return vector(value, depth);
        case KVT_DICTIONARY:
        case KVT_DICTIONARYREF:
            return dictionary(value, depth);
        case KVT_OBJECT:
        case KVT_OBJECTREF:
            return object(value);
        case KVT_CLASS:
        case KVT_CLASSREF:
            if (const KvoClass* c = value.getClass())
                return u"<class " + name(c) + u">";
            return u"null";
        case KVT_BYTECODE:
        case KVT_BYTECODEREF:
            return function(value);
        case KVT_CODE:
        case KVT_CODEREF:
            return u"<library function>";
        case KVT_FILE:
            return u"<file>";
        default:
            return u"<" + std::u16string(getValueTypeName(value.getType())) + u">";
        }
    }

private:
    static std::u16string name(const KvoClass* c)
    {
        const KvoString* className = c->getClassName();
        return className ? std::u16string(className->c_str(), className->length()) : u"?";
    }

    std::u16string vector(const KvoValue& value, int depth)
    {
        KvoVector* items = value.getVector();
        if (!items)
            return u"null";
        if (depth >= KIVO_FORMAT_MAX_DEPTH)
            return items->size() ? u"[...]" : u"[]";
        // The elements are copied: an element's toString may change the vector.
        const std::uint32_t count = items->size();
        const std::uint32_t shown = count > KIVO_FORMAT_MAX_ELEMENTS ? KIVO_FORMAT_MAX_ELEMENTS : count;
        std::vector<KvoValue> elements(items->data(), items->data() + shown);
        std::u16string out = u"[";
        for (std::uint32_t i = 0; i < shown; ++i) {
            if (i)
                out += u", ";
            out += format(elements[i], depth + 1);
        }
        if (shown < count)
            out += u", ... (" + number(count - shown) + u" more)";
        return out + u"]";
    }

    std::u16string dictionary(const KvoValue& value, int depth)
    {
        KvoDictionary* entries = value.getDictionary();
        if (!entries)
            return u"null";
        if (depth >= KIVO_FORMAT_MAX_DEPTH)
            return entries->count() ? u"{...}" : u"{}";
        std::vector<std::pair<std::u16string, KvoValue>> shown;
        std::uint32_t count = 0;
        for (const KvoDictionaryEntry* entry = entries->getFirst(); entry; entry = entry->getNext(), ++count) {
            if (shown.size() < KIVO_FORMAT_MAX_ELEMENTS) {
                const KvoString* key = entry->getKey();
                shown.emplace_back(key ? quoted(key->c_str(), key->length()) : u"null", entry->getValue());
            }
        }
        std::u16string out = u"{";
        for (std::size_t i = 0; i < shown.size(); ++i) {
            if (i)
                out += u", ";
            out += shown[i].first + u": " + format(shown[i].second, depth + 1);
        }
        if (shown.size() < count)
            out += u", ... (" + number(count - shown.size()) + u" more)";
        return out + u"}";
    }

    std::u16string object(const KvoValue& value)
    {
        const KvoObject* instance = value.getObject();
        const KvoClass* c = instance ? instance->getClass() : nullptr;
        if (!c)
            return u"null";
        if (m_interpreter && c->findMember(u"toString", true)) {
            if (const KvoString* text = m_interpreter->getStringFromValue(value))
                return std::u16string(text->c_str(), text->length());
        }
        return u"<" + name(c) + u" object>";
    }

    static std::u16string function(const KvoValue& value)
    {
        KvoVector* procedure = value.getVector();
        // Element 2 of a procedure is its name.
        if (procedure && procedure->size() > 2) {
            if (const KvoString* text = procedure->data()[2].getString())
                return u"<function " + std::u16string(text->c_str(), text->length()) + u">";
        }
        return u"<function>";
    }

    KvoInterpreter* m_interpreter;
};

} // namespace

std::u16string kivoFormatValue(KvoInterpreter* interpreter, const KvoValue& value)
{
    return Formatter(interpreter).format(value, 0);
}
