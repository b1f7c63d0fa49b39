// Questions to the person at the console, shared by the message box and the file dialogs. What a
// question shows goes to standard error (so a script's own output stays clean); the answer is
// read from the controlling terminal, /dev/tty, rather than standard input, so a program whose
// input is redirected still asks the person at the terminal, and a program without one (a
// service, a test run in its own session) is never kept waiting.
#pragma once

#include <cstddef>
#include <string>

// The controlling terminal, open for the lifetime of the object.
class KvoTerminal
{
public:
    // Opens /dev/tty; isOpen() is false when the process has no controlling terminal.
    KvoTerminal();
    ~KvoTerminal();
    KvoTerminal(const KvoTerminal&) = delete;
    KvoTerminal& operator=(const KvoTerminal&) = delete;

    bool isOpen() const noexcept { return m_fd >= 0; }

    // Reads one line (UTF-8 bytes), without its "\n" and a "\r" before it. At most maxLength
    // bytes are kept; the rest of a longer line is read and dropped, and *cut (when given) tells
    // whether that happened. False at end of input (or on an error) before any byte of the line.
    bool readLine(std::string& line, std::size_t maxLength, bool* cut = nullptr) const;

private:
    int m_fd = -1;
};

// Writes text to standard error at once (it is a prompt the answer must follow).
void kvoTellUser(const std::string& text);

// text without the blanks (spaces and tabs) at both ends.
std::string kvoTrimBlanks(const std::string& text);
