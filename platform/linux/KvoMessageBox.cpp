// Console message boxes on Linux (see KvoMessageBox.h). The box is written to standard error in
// one piece (caption line, text, button prompt); the answer is read from the controlling terminal
// (KvoTerminal.h).
#include "platform/KvoMessageBox.h"

#include <cstdlib>
#include <string>

#include "platform/KvoText.h"
#include "platform/linux/KvoMessageBoxInternal.h"
#include "platform/linux/KvoTerminal.h"
#include "platform/linux/KvoWindowInternal.h"

namespace {

// The variable that answers every box, for automated runs.
constexpr char ANSWER_VARIABLE[] = "KIVO_MSGBOX_ANSWER";
// Longest answer line kept; the rest of a longer line is read and dropped.
constexpr std::size_t MAX_ANSWER_LENGTH = 64;
constexpr int MAX_BUTTONS = 3;

struct Button {
    int id;
    const char* name;
};

// The buttons of one button set, in display order.
struct ButtonSet {
    Button buttons[MAX_BUTTONS];
    int count;
};

constexpr Button OK_BUTTON{IDOK, "OK"};
constexpr Button CANCEL_BUTTON{IDCANCEL, "Cancel"};
constexpr Button ABORT_BUTTON{IDABORT, "Abort"};
constexpr Button RETRY_BUTTON{IDRETRY, "Retry"};
constexpr Button IGNORE_BUTTON{IDIGNORE, "Ignore"};
constexpr Button YES_BUTTON{IDYES, "Yes"};
constexpr Button NO_BUTTON{IDNO, "No"};

// Indexed by the style's button-set bits (MB_OK .. MB_RETRYCANCEL).
constexpr ButtonSet BUTTON_SETS[] = {
    {{OK_BUTTON}, 1},
    {{OK_BUTTON, CANCEL_BUTTON}, 2},
    {{ABORT_BUTTON, RETRY_BUTTON, IGNORE_BUTTON}, 3},
    {{YES_BUTTON, NO_BUTTON, CANCEL_BUTTON}, 3},
    {{YES_BUTTON, NO_BUTTON}, 2},
    {{RETRY_BUTTON, CANCEL_BUTTON}, 2},
};

const ButtonSet& buttonSetOf(UINT style)
{
    const UINT set = style & MB_TYPEMASK;
    return set < std::size(BUTTON_SETS) ? BUTTON_SETS[set] : BUTTON_SETS[MB_OK];
}

bool offers(const ButtonSet& set, int id)
{
    for (int i = 0; i < set.count; ++i) {
        if (set.buttons[i].id == id)
            return true;
    }
    return false;
}

// The answer that stops or declines: what a box answers when nobody can.
int stopAnswer(const ButtonSet& set)
{
    for (int id : {IDCANCEL, IDNO, IDABORT}) {
        if (offers(set, id))
            return id;
    }
    return IDOK;
}

// The answer that goes ahead.
int goAnswer(const ButtonSet& set)
{
    for (int id : {IDOK, IDYES, IDRETRY}) {
        if (offers(set, id))
            return id;
    }
    return set.buttons[0].id;
}

int defaultAnswer(const ButtonSet& set, UINT style)
{
    const int index = static_cast<int>((style & MB_DEFMASK) >> 8);
    return set.buttons[index < set.count ? index : 0].id;
}

bool equalsIgnoringCase(const std::string& a, const char* b)
{
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        const auto lowerA = static_cast<char>(a[i] >= 'A' && a[i] <= 'Z' ? a[i] - 'A' + 'a' : a[i]);
        const auto lowerB = static_cast<char>(b[i] >= 'A' && b[i] <= 'Z' ? b[i] - 'A' + 'a' : b[i]);
        if (lowerA != lowerB)
            return false;
    }
    return i == a.size() && b[i] == 0;
}

// The button named by answer (a name or, when letters is true, its first letter); 0 for none.
int buttonNamed(const ButtonSet& set, const std::string& answer, bool letters)
{
    for (int i = 0; i < set.count; ++i) {
        const Button& button = set.buttons[i];
        if (equalsIgnoringCase(answer, button.name))
            return button.id;
        if (letters && answer.size() == 1 && equalsIgnoringCase(answer, std::string(1, button.name[0]).c_str()))
            return button.id;
    }
    return 0;
}

// The answer KIVO_MSGBOX_ANSWER gives for this box; 0 when it is unset or names no button.
int automatedAnswer(const ButtonSet& set)
{
    const char* variable = std::getenv(ANSWER_VARIABLE);
    if (!variable)
        return 0;
    const std::string answer = variable;
    if (const int id = buttonNamed(set, answer, false))
        return id;
    if (equalsIgnoringCase(answer, "ok"))
        return goAnswer(set);
    if (equalsIgnoringCase(answer, "cancel"))
        return stopAnswer(set);
    return 0;
}

const char* iconWord(UINT style)
{
    switch (style & MB_ICONMASK) {
    case MB_ICONHAND: return "[error] ";
    case MB_ICONQUESTION: return "[question] ";
    case MB_ICONEXCLAMATION: return "[warning] ";
    case MB_ICONASTERISK: return "[information] ";
    default: return "";
    }
}

// "[OK] / Cancel" with the default button in brackets.
std::string buttonPrompt(const ButtonSet& set, int defaultId)
{
    std::string prompt;
    for (int i = 0; i < set.count; ++i) {
        if (i > 0)
            prompt += " / ";
        const bool isDefault = set.buttons[i].id == defaultId;
        prompt += isDefault ? "[" : "";
        prompt += set.buttons[i].name;
        prompt += isDefault ? "]" : "";
    }
    return prompt;
}

const char* buttonName(const ButtonSet& set, int id)
{
    for (int i = 0; i < set.count; ++i) {
        if (set.buttons[i].id == id)
            return set.buttons[i].name;
    }
    return "?";
}

} // namespace

int kvoMessageBoxButtons(UINT style, KvoMessageBoxButton (&buttons)[KVO_MESSAGE_BOX_MAX_BUTTONS])
{
    const ButtonSet& set = buttonSetOf(style);
    for (int i = 0; i < set.count; ++i)
        buttons[i] = {set.buttons[i].id, set.buttons[i].name};
    return set.count;
}

int kvoMessageBoxStopAnswer(UINT style)
{
    return stopAnswer(buttonSetOf(style));
}

int kvoMessageBoxDefaultAnswer(UINT style)
{
    return defaultAnswer(buttonSetOf(style), style);
}

extern "C" int MessageBoxW(HWND window, const KvoChar* text, const KvoChar* caption, UINT style)
{
    const ButtonSet& set = buttonSetOf(style);
    const int defaultId = defaultAnswer(set, style);
    // The automation variable answers first, with or without a display.
    if (kvoDisplayActive() && automatedAnswer(set) == 0)
        return kvoMessageBoxWindow(window, text, caption, style, nullptr, nullptr);
    kvoTellUser("\n" + std::string(iconWord(style)) + kvoToUtf8(caption) + "\n" + kvoToUtf8(text) + "\n");

    if (const int id = automatedAnswer(set)) {
        kvoTellUser(std::string("answer: ") + buttonName(set, id) + "\n");
        return id;
    }

    const KvoTerminal terminal;
    if (!terminal.isOpen()) {
        const int id = stopAnswer(set);
        kvoTellUser(std::string("no terminal, answer: ") + buttonName(set, id) + "\n");
        return id;
    }
    int id = 0;
    std::string line;
    while (id == 0) {
        kvoTellUser(buttonPrompt(set, defaultId) + "? ");
        if (!terminal.readLine(line, MAX_ANSWER_LENGTH)) {
            id = stopAnswer(set);
            kvoTellUser(std::string("\nend of input, answer: ") + buttonName(set, id) + "\n");
            break;
        }
        const std::string answer = kvoTrimBlanks(line);
        id = answer.empty() ? defaultId : buttonNamed(set, answer, true);
    }
    return id;
}
