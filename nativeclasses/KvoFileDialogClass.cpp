// The class FileDialog: the system's open and save dialogs for a script. An object keeps the
// dialog's settings and its last answer in five members: _filter (a vector of "description|
// pattern" texts, shared with whoever set it), _dir, _fname, _ext and _title (strings). A chosen
// path is split into directory, name and extension by setFullPath, which a derived script class
// may replace.
//
// Paths are this platform's: a "\" in a path given to setFullPath becomes "/", the directory
// part ends at the last "/", and ":" is an ordinary character of a name.
//
// The dialog's file name goes through one buffer of FILE_NAME_CAPACITY characters (the
// terminating zero included), one per thread. A _fname that does not fit is refused with "File
// name too long." rather than cut, so a script never saves under a name it did not ask for.
//
// Script code may run in the middle of a call: the owner's getHandle, the toString of a filter
// entry, an overridden setFullPath. So showOpen and showSave read the receiver's members only
// after the last such call before the dialog, and hold what they read.
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>

#include "nativeclasses/KvoMethodCall.h"
#include "nativeclasses/KvoNativeClassBuilder.h"
#include "platform/KvoFileDialog.h"

namespace {

// Member slots, cached when the class is registered.
std::int32_t s_filterIndex = -1;
std::int32_t s_dirIndex = -1;
std::int32_t s_fnameIndex = -1;
std::int32_t s_extIndex = -1;
std::int32_t s_titleIndex = -1;

constexpr KvoChar FILE_DIALOG_CLASS_NAME[] = u"FileDialog";
constexpr KvoChar VECTOR_CLASS_NAME[] = u"Vector";
constexpr KvoChar VECTOR_MEMBER_NAME[] = u"_vec";
constexpr KvoChar WINDOW_CLASS_NAME[] = u"WinBase";

constexpr KvoChar WINDOW_EXPECTED[] = u"Invalid argument. Window expected.";
constexpr KvoChar WINDOW_HANDLE_EXPECTED[] = u"Invalid argument. Window handle expected.";
constexpr KvoChar FILE_NAME_TOO_LONG[] = u"File name too long.";
constexpr KvoChar DAMAGED_DIALOG[] = u"invalid member data";

// The dialog's file-name buffer, in characters with the terminating zero.
constexpr std::uint32_t FILE_NAME_CAPACITY = 1024;
thread_local KvoChar t_fileName[FILE_NAME_CAPACITY];

// The flags of the two dialogs: no read-only box, and the directory must exist (open) or an
// existing file is replaced only when the user agrees (save).
constexpr DWORD OPEN_FLAGS = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
constexpr DWORD SAVE_FLAGS = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;

// The text of s up to its first zero character (the runtime's texts end there).
std::u16string plainText(const KvoString& s)
{
    const KvoChar* text = s.c_str();
    std::size_t length = 0;
    while (length < s.length() && text[length] != 0)
        ++length;
    return {text, length};
}

// The script vector a value holds, or null (functions and other kinds).
KvoVector* scriptVector(const KvoValue& value)
{
    const KvoValueType type = value.getType();
    return (type == KVT_VECTOR || type == KVT_VECTORREF) ? value.getVector() : nullptr;
}

// Stores value in the receiver's member at index; false after "invalid member data" when the
// receiver has no such slot.
bool setMember(KvoMethodCall& call, std::int32_t index, KvoValue value)
{
    KvoValue* slot = call.member(index);
    if (!slot)
        return call.fail(DAMAGED_DIALOG);
    *slot = std::move(value);
    return true;
}

// Stores a new string holding text in the receiver's member at index.
bool setText(KvoMethodCall& call, std::int32_t index, const std::u16string& text)
{
    return setMember(call, index, KvoValue(new KvoString(text.c_str(), text.size())));
}

// Completes call with a new string holding text, after the library's bound on its length.
bool doneWithText(KvoMethodCall& call, const std::u16string& text)
{
    return call.countFits(text.size(), sizeof(KvoChar)) &&
           call.done(KvoValue(new KvoString(text.c_str(), text.size())));
}

// The receiver's string member at index as plain text; false after the type error when the
// member holds no string.
bool memberText(KvoMethodCall& call, std::int32_t index, std::u16string& text)
{
    const KvoString* s = call.memberString(index);
    if (!s)
        return false;
    text = plainText(*s);
    return true;
}

// name followed by "." and extension when extension is not empty.
std::u16string withExtension(const std::u16string& name, const std::u16string& extension)
{
    return extension.empty() ? name : name + u"." + extension;
}

// ---- Methods ------------------------------------------------------------------------------------

// new FileDialog(): an empty filter vector and empty strings.
bool dialogConstruct(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0) || !setMember(call, s_filterIndex, KvoValue(new KvoVector())))
        return false;
    for (std::int32_t index : {s_dirIndex, s_fnameIndex, s_extIndex, s_titleIndex}) {
        if (!setText(call, index, u""))
            return false;
    }
    return call.doneThis();
}

// getFilter(): the filter vector itself (shared: changing it changes the dialog's filter).
bool dialogGetFilter(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 0))
        return false;
    const KvoValue* slot = call.member(s_filterIndex);
    if (!slot)
        return call.fail(DAMAGED_DIALOG);
    return call.done(*slot);
}

// setFilter(v): a vector, or a Vector object whose vector is taken; stored without copying.
bool dialogSetFilter(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    KvoVector* vector = scriptVector(call.arg(1));
    const KvoClass* vectorClass = call.findClass(VECTOR_CLASS_NAME);
    if (!vector && vectorClass && vectorClass->getIsNative() && KvoMethodCall::isObjectOf(call.arg(1), vectorClass)) {
        const std::int32_t index = vectorClass->getMemberIndex(KvoString(VECTOR_MEMBER_NAME));
        const KvoValue* slot = KvoMethodCall::memberOf(call.arg(1).getObject(), index);
        vector = slot ? scriptVector(*slot) : nullptr;
    }
    if (!vector)
        return call.badType(call.arg(1).getType(), KVT_VECTOR);
    return setMember(call, s_filterIndex, KvoValue(vector)) && call.doneThis();
}

// getDirectory(), getFileName(), getExtension(), getTitle(): a copy of the member.
template <std::int32_t* index>
bool dialogGetText(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::u16string text;
    return call.needThis() && call.countBetween(0, 0) && memberText(call, *index, text) && doneWithText(call, text);
}

// setDirectory(text), setFileName(text), setExtension(text), setTitle(text): stores a copy of the
// argument's text.
template <std::int32_t* index>
bool dialogSetText(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoString* text = call.textArg(1);
    return text && setText(call, *index, plainText(*text)) && call.doneThis();
}

// getFullName(): the name and, when there is one, "." and the extension.
bool dialogGetFullName(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::u16string name;
    std::u16string extension;
    return call.needThis() && call.countBetween(0, 0) && memberText(call, s_fnameIndex, name) &&
           memberText(call, s_extIndex, extension) && doneWithText(call, withExtension(name, extension));
}

// getFullPath(): the directory (which ends with its separator), then the full name.
bool dialogGetFullPath(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    std::u16string directory;
    std::u16string name;
    std::u16string extension;
    return call.needThis() && call.countBetween(0, 0) && memberText(call, s_dirIndex, directory) &&
           memberText(call, s_fnameIndex, name) && memberText(call, s_extIndex, extension) &&
           doneWithText(call, directory + withExtension(name, extension));
}

// setFullName(name): the text after the last "." becomes the extension (none without a "."), the
// text before it the name.
bool dialogSetFullName(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoString* argument = call.textArg(1);
    if (!argument)
        return false;
    std::u16string name = plainText(*argument);
    std::u16string extension;
    const std::size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos) {
        extension = name.substr(dot + 1);
        name.erase(dot);
    }
    return setText(call, s_extIndex, extension) && setText(call, s_fnameIndex, name) && call.doneThis();
}

// setFullPath(path): every "\" becomes "/"; an extension after the last "." that no "/" follows
// replaces _ext, a directory up to and including the last "/" replaces _dir, and the rest is the
// name. The parts a path does not have keep their values.
bool dialogSetFullPath(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(1, 1))
        return false;
    const KvoString* argument = call.textArg(1);
    if (!argument)
        return false;
    std::u16string path = plainText(*argument);
    for (KvoChar& c : path) {
        if (c == u'\\')
            c = u'/';
    }
    const std::size_t dot = path.rfind(u'.');
    if (dot != std::u16string::npos && path.find(u'/', dot) == std::u16string::npos) {
        if (!setText(call, s_extIndex, path.substr(dot + 1)))
            return false;
        path.erase(dot);
    }
    const std::size_t slash = path.rfind(u'/');
    if (slash != std::u16string::npos) {
        if (!setText(call, s_dirIndex, path.substr(0, slash + 1)))
            return false;
        path.erase(0, slash + 1);
    }
    return setText(call, s_fnameIndex, path) && call.doneThis();
}

// The owner window of showOpen/showSave from explicit argument 1: a WinBase object (its
// getHandle() result) or a window handle. False after raising otherwise.
bool ownerWindow(KvoMethodCall& call, HWND& owner)
{
    KvoValue handle = call.arg(1);
    if (handle.getObject()) {
        if (!KvoMethodCall::isObjectOf(handle, call.findClass(WINDOW_CLASS_NAME)))
            return call.fail(WINDOW_EXPECTED);
        KvoInterpreter* running = call.interpreter();
        KvoValue window = handle;
        if (!running || !running->invokeMember(handle, window.getObject(), u"getHandle", nullptr))
            return false;
    }
    if (handle.getType() != KVT_INTEGER)
        return call.fail(WINDOW_HANDLE_EXPECTED);
    // A handle is an opaque number; the dialog keeps it and never follows it.
    owner = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(handle.getLong())));
    return true;
}

// The dialog's filter list from the receiver's filter vector: for each entry whose text has a
// "|" after its first character, the text with its first "|" made a zero, then a zero; entries
// without one (and values that are no text) add nothing. One more zero ends the list, and an
// empty list is two zeros. A filter member that holds no vector gives the empty list.
bool buildFilter(KvoMethodCall& call, std::u16string& filter)
{
    filter.clear();
    const KvoValue* slot = call.member(s_filterIndex);
    const KvoValue entries = slot ? *slot : KvoValue();
    const KvoVector* vector = scriptVector(entries);
    KvoInterpreter* running = call.interpreter();
    // A toString method may change the vector: its size is read again for every entry.
    for (std::uint32_t i = 0; vector && running && i < vector->size(); ++i) {
        const KvoValue entry = (*vector)[i];
        const KvoString* text = running->getStringFromValue(entry);
        if (!text)
            continue;
        std::u16string piece = plainText(*text);
        const std::size_t bar = piece.find(u'|');
        if (bar == std::u16string::npos || bar == 0)
            continue;
        piece[bar] = 0;
        if (!call.countFits(std::uint64_t{filter.size()} + piece.size() + 3, sizeof(KvoChar)))
            return false;
        filter += piece;
        filter += KvoChar{0};
    }
    if (filter.empty())
        filter += KvoChar{0};
    filter += KvoChar{0};
    return true;
}

// The receiver's string member at index for the dialog record; false when it holds no string.
bool dialogText(KvoMethodCall& call, std::int32_t index, std::u16string& text)
{
    const KvoValue* slot = call.member(index);
    const KvoString* s = slot ? slot->getString() : nullptr;
    if (!s)
        return false;
    text = plainText(*s);
    return true;
}

// showOpen([owner]) and showSave([owner]): 1 when the user chose a file (the receiver's
// setFullPath has then taken its path), 0 when the dialog was cancelled or could not give it.
template <bool save>
bool dialogShow(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoMethodCall call(vm, argc, args);
    if (!call.needThis() || !call.countBetween(0, 1))
        return false;
    HWND owner = nullptr;
    std::u16string filter;
    if ((call.count() == 1 && !ownerWindow(call, owner)) || !buildFilter(call, filter))
        return false;

    // No script code runs from here until the dialog has answered.
    std::u16string name;
    std::u16string directory;
    std::u16string title;
    std::u16string extension;
    const bool hasName = dialogText(call, s_fnameIndex, name);
    const bool hasDirectory = dialogText(call, s_dirIndex, directory);
    const bool hasTitle = dialogText(call, s_titleIndex, title);
    const bool hasExtension = dialogText(call, s_extIndex, extension);
    if (name.size() >= FILE_NAME_CAPACITY)
        return call.fail(FILE_NAME_TOO_LONG);
    name.copy(t_fileName, name.size());
    t_fileName[name.size()] = 0;

    OPENFILENAMEW record{};
    record.lStructSize = sizeof record;
    record.hwndOwner = owner;
    record.lpstrFilter = filter.c_str();
    record.lpstrFile = t_fileName;
    record.nMaxFile = FILE_NAME_CAPACITY;
    record.lpstrInitialDir = hasDirectory ? directory.c_str() : nullptr;
    record.lpstrTitle = hasTitle ? title.c_str() : nullptr;
    record.lpstrDefExt = hasExtension ? extension.c_str() : nullptr;
    record.Flags = save ? SAVE_FLAGS : OPEN_FLAGS;
    if (!hasName)
        t_fileName[0] = 0;
    const BOOL chosen = save ? GetSaveFileNameW(&record) : GetOpenFileNameW(&record);
    if (!chosen)
        return call.done(KvoValue(std::int32_t{0}));

    // The buffer is copied out before script code runs: an overridden setFullPath may show
    // another dialog.
    auto* arguments = new KvoVector();
    KvoValue held(arguments);
    arguments->push_back(KvoValue(new KvoString(t_fileName)));
    KvoValue ignored;
    KvoInterpreter* running = call.interpreter();
    if (!running || !running->invokeMember(ignored, call.self(), u"setFullPath", arguments))
        return false;
    return call.done(KvoValue(std::int32_t{1}));
}

const KvoMethodRegistration FILE_DIALOG_METHODS[] = {
    {u"FileDialog", &dialogConstruct},
    {u"getFilter", &dialogGetFilter},
    {u"setFilter", &dialogSetFilter},
    {u"getDirectory", &dialogGetText<&s_dirIndex>},
    {u"setDirectory", &dialogSetText<&s_dirIndex>},
    {u"getFileName", &dialogGetText<&s_fnameIndex>},
    {u"setFileName", &dialogSetText<&s_fnameIndex>},
    {u"getFullName", &dialogGetFullName},
    {u"setFullName", &dialogSetFullName},
    {u"getExtension", &dialogGetText<&s_extIndex>},
    {u"setExtension", &dialogSetText<&s_extIndex>},
    {u"getFullPath", &dialogGetFullPath},
    {u"setFullPath", &dialogSetFullPath},
    {u"showOpen", &dialogShow<false>},
    {u"showSave", &dialogShow<true>},
    {u"getTitle", &dialogGetText<&s_titleIndex>},
    {u"setTitle", &dialogSetText<&s_titleIndex>},
};

} // namespace

void kv2RegisterFileDialog(KvoVirtualMachine* vm)
{
    kvoRegisterClass(vm, FILE_DIALOG_CLASS_NAME, nullptr,
                     {{u"_filter", &s_filterIndex},
                      {u"_dir", &s_dirIndex},
                      {u"_fname", &s_fnameIndex},
                      {u"_ext", &s_extIndex},
                      {u"_title", &s_titleIndex}},
                     FILE_DIALOG_METHODS, std::size(FILE_DIALOG_METHODS));
}
