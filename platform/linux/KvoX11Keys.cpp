// What a key press on the display means to a window: its virtual-key code for WM_KEYDOWN and
// WM_KEYUP, and the character it types for WM_CHAR. Pure functions of the key symbol, so that the
// tables can be tested without a server.
#include <X11/keysym.h>

#include "platform/KvoText.h"
#include "platform/linux/KvoX11.h"

namespace {

struct KeyEntry {
    unsigned long keysym;
    unsigned virtualKey;
};

// Keys whose symbol does not follow from a range.
constexpr KeyEntry KEYS[] = {
    {XK_BackSpace, 0x08},   {XK_Tab, 0x09},        {XK_ISO_Left_Tab, 0x09}, {XK_Clear, 0x0C},
    {XK_Return, 0x0D},      {XK_Shift_L, 0x10},    {XK_Shift_R, 0x10},      {XK_Control_L, 0x11},
    {XK_Control_R, 0x11},   {XK_Alt_L, 0x12},      {XK_Alt_R, 0x12},        {XK_Meta_L, 0x12},
    {XK_Meta_R, 0x12},      {XK_ISO_Level3_Shift, 0x12}, {XK_Pause, 0x13},  {XK_Caps_Lock, 0x14},
    {XK_Escape, 0x1B},      {XK_space, 0x20},      {XK_Prior, 0x21},        {XK_Next, 0x22},
    {XK_End, 0x23},         {XK_Home, 0x24},       {XK_Left, 0x25},         {XK_Up, 0x26},
    {XK_Right, 0x27},       {XK_Down, 0x28},       {XK_Select, 0x29},       {XK_Print, 0x2C},
    {XK_Execute, 0x2B},     {XK_Insert, 0x2D},     {XK_Delete, 0x2E},       {XK_Help, 0x2F},
    {XK_Super_L, 0x5B},     {XK_Super_R, 0x5C},    {XK_Menu, 0x5D},         {XK_Num_Lock, 0x90},
    {XK_Scroll_Lock, 0x91},
    // The keypad: digits and operators with Num Lock on, movement keys with it off.
    {XK_KP_Multiply, 0x6A}, {XK_KP_Add, 0x6B},     {XK_KP_Separator, 0x6C}, {XK_KP_Subtract, 0x6D},
    {XK_KP_Decimal, 0x6E},  {XK_KP_Divide, 0x6F},  {XK_KP_Enter, 0x0D},     {XK_KP_Space, 0x20},
    {XK_KP_Tab, 0x09},      {XK_KP_Home, 0x24},    {XK_KP_End, 0x23},       {XK_KP_Prior, 0x21},
    {XK_KP_Next, 0x22},     {XK_KP_Left, 0x25},    {XK_KP_Up, 0x26},        {XK_KP_Right, 0x27},
    {XK_KP_Down, 0x28},     {XK_KP_Insert, 0x2D},  {XK_KP_Delete, 0x2E},    {XK_KP_Begin, 0x0C},
    // Punctuation keys of a US layout, by either symbol on the key.
    {XK_semicolon, 0xBA},   {XK_colon, 0xBA},      {XK_equal, 0xBB},        {XK_plus, 0xBB},
    {XK_comma, 0xBC},       {XK_less, 0xBC},       {XK_minus, 0xBD},        {XK_underscore, 0xBD},
    {XK_period, 0xBE},      {XK_greater, 0xBE},    {XK_slash, 0xBF},        {XK_question, 0xBF},
    {XK_grave, 0xC0},       {XK_asciitilde, 0xC0}, {XK_bracketleft, 0xDB},  {XK_braceleft, 0xDB},
    {XK_backslash, 0xDC},   {XK_bar, 0xDC},        {XK_bracketright, 0xDD}, {XK_braceright, 0xDD},
    {XK_apostrophe, 0xDE},  {XK_quotedbl, 0xDE},
};

// Symbols that stand for a Unicode character carry it below this flag.
constexpr unsigned long UNICODE_KEYSYM = 0x01000000;

void appendCodePoint(unsigned long code, std::u16string& out)
{
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return;
    }
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
        return;
    }
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
}

} // namespace

unsigned kvoX11VirtualKey(unsigned long keysym)
{
    if (keysym >= XK_a && keysym <= XK_z) {
        return static_cast<unsigned>(keysym - XK_a + 'A');
    }
    if ((keysym >= XK_A && keysym <= XK_Z) || (keysym >= XK_0 && keysym <= XK_9)) {
        return static_cast<unsigned>(keysym);
    }
    if (keysym >= XK_F1 && keysym <= XK_F24) {
        return static_cast<unsigned>(0x70 + (keysym - XK_F1));
    }
    if (keysym >= XK_KP_0 && keysym <= XK_KP_9) {
        return static_cast<unsigned>(0x60 + (keysym - XK_KP_0));
    }
    for (const KeyEntry& entry : KEYS) {
        if (entry.keysym == keysym) {
            return entry.virtualKey;
        }
    }
    return 0;
}

void kvoX11KeyText(unsigned long keysym, const char* bytes, int count, std::u16string& out)
{
    out.clear();
    // Delete types nothing, though the mapping gives it the DEL byte.
    if (keysym == XK_Delete || keysym == XK_KP_Delete) {
        return;
    }
    const auto first = count > 0 ? static_cast<unsigned char>(bytes[0]) : 0u;
    // Control characters (Ctrl with a letter, Enter, Tab, Backspace, Escape) come as the byte.
    if (count == 1 && first < 0x20) {
        out.push_back(static_cast<char16_t>(first));
        return;
    }
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) {
        out.push_back(static_cast<char16_t>(keysym));
        return;
    }
    if ((keysym & 0xFF000000) == UNICODE_KEYSYM) {
        appendCodePoint(keysym & 0x00FFFFFF, out);
        return;
    }
    // Anything else the mapping spelled out (keypad digits and operators) is Latin-1 text.
    if (count == 1 && first != 0x7F) {
        out.push_back(static_cast<char16_t>(first));
    }
}

void kvoX11KeyTextUtf8(unsigned long keysym, const char* utf8, int count, std::u16string& out)
{
    out.clear();
    if (keysym == XK_Delete || keysym == XK_KP_Delete || count <= 0) {
        return;
    }
    out = kvoFromUtf8(utf8, static_cast<std::size_t>(count));
    std::erase(out, u'\x7F');
}
