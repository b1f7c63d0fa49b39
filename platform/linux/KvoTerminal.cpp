// Questions on the controlling terminal (see KvoTerminal.h).
#include "platform/linux/KvoTerminal.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

KvoTerminal::KvoTerminal() : m_fd(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}

KvoTerminal::~KvoTerminal()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool KvoTerminal::readLine(std::string& line, std::size_t maxLength, bool* cut) const
{
    line.clear();
    bool gotAny = false;
    bool dropped = false;
    for (;;) {
        char c = 0;
        const ssize_t n = m_fd >= 0 ? read(m_fd, &c, 1) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!gotAny)
                return false;
            break;
        }
        gotAny = true;
        if (c == '\n')
            break;
        if (line.size() < maxLength)
            line.push_back(c);
        else
            dropped = true;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (cut)
        *cut = dropped;
    return true;
}

void kvoTellUser(const std::string& text)
{
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

std::string kvoTrimBlanks(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}
