// The interactive prompt of the kivo command: reads inputs with line editing and history,
// compiles each into the session's machine (so later inputs see earlier definitions), runs it and
// shows an expression's value.
#pragma once

#include <cstddef>
#include <string>

class KivoSession;

// Runs the prompt until .quit, end of input or exit(); returns the exit status.
int kivoRunRepl(KivoSession& session);

// True while text needs more lines: a bracket, brace or parenthesis is open, or a string or a
// block comment is unterminated.
bool kivoInputIsOpen(const std::string& text);

// The compiler's diagnostics for a generated text that holds input after prefixLength characters
// of its first line, each as "name:L:C: message" with the input's own line and a caret under
// the column.
std::string kivoDescribeDiagnostics(const std::string& diagnostics, const std::string& input,
                                    std::size_t prefixLength, const std::string& name);
