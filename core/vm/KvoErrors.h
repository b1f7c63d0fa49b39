// The texts of the run-time errors that the interpreter and the operators raise. Scripts and
// hosts see them verbatim (a catch variable holds the text, errors() holds it with a newline
// added), so they are behaviour: change none of them without changing the tests that pin them.
// Texts used as a prefix end where the variable part (a name, a type name) is appended.
#pragma once

#include "platform/KvoTypes.h"

// Calls and frames.
inline constexpr const KvoChar* KVO_ERR_NO_BYTECODE = u"no bytecode: ";
inline constexpr const KvoChar* KVO_ERR_NO_BYTECODE_DETAIL = u"interpret(KvoVector* byteCode)\n";
inline constexpr const KvoChar* KVO_ERR_CALL_NON_PROCEDURE = u"call to non-procedure, type ";
inline constexpr const KvoChar* KVO_ERR_STACK_CORRUPTED = u"stack corrupted";
inline constexpr const KvoChar* KVO_ERR_INVALID_VARIABLE = u"invalid variable reference ";
inline constexpr const KvoChar* KVO_ERR_OBJECT_EXPECTED = u"object expected";
inline constexpr const KvoChar* KVO_ERR_MEMBER_DATA_EXPECTED = u"member data expected";
inline constexpr const KvoChar* KVO_ERR_TOO_FEW_ARGUMENTS = u"too few arguments";
// Raised when a call would nest deeper than the interpreter's limits (script call depth, value
// stack size, or native code re-entering the interpreter).
inline constexpr const KvoChar* KVO_ERR_STACK_OVERFLOW = u"stack overflow";
// A native function ended with a C++ exception other than running out of memory.
inline constexpr const KvoChar* KVO_ERR_NATIVE_FAILED = u"native function failed";
// Raised for code the interpreter cannot execute safely: an operand or jump target outside the
// code, a literal index outside the procedure, a frame slot outside the frame, a code element
// that is not a buffer, or an instruction that would pop below its frame.
inline constexpr const KvoChar* KVO_ERR_INVALID_BYTECODE = u"invalid bytecode";

// Types and messages.
inline constexpr const KvoChar* KVO_ERR_BAD_TYPE_FORMAT = u"invalid value type %s, %s expected";
inline constexpr const KvoChar* KVO_ERR_NO_METHOD = u"no method for name ";
inline constexpr const KvoChar* KVO_ERR_SEND_OBJECT_EXPECTED = u"KvoInterpreter::send : object expected\n";
inline constexpr const KvoChar* KVO_ERR_NULL_NATIVE = u" : NULL pointer to native function\n";
inline constexpr const KvoChar* KVO_ERR_NULL_BYTECODE = u" : NULL pointer to bytecode\n";
inline constexpr const KvoChar* KVO_ERR_NO_IMPLEMENTATION = u"has no method implementation\n";

// Host and native entry points.
inline constexpr const KvoChar* KVO_ERR_MISSING_FUNCTION_NAME = u"Missing function name";
inline constexpr const KvoChar* KVO_ERR_SYMBOL_NOT_FOUND_FORMAT = u"Symbol '%s' not found.";
inline constexpr const KvoChar* KVO_ERR_MISSING_OBJECT = u"Missing function object reference";
inline constexpr const KvoChar* KVO_ERR_MISSING_CLASS = u"Missing class reference";
inline constexpr const KvoChar* KVO_ERR_NOT_IN_CLASS_FORMAT = u"Symbol '%s' not found in class '%s'.";
inline constexpr const KvoChar* KVO_ERR_NOT_STATIC_FORMAT = u"Symbol '%s' not a static member of class '%s'.";
inline constexpr const KvoChar* KVO_ERR_MISSING_CLASS_NAME = u"Missing class name.";
inline constexpr const KvoChar* KVO_ERR_CLASS_NOT_FOUND_FORMAT = u"Class '%s' not found.";
inline constexpr const KvoChar* KVO_ERR_NULL_CLASS = u"Invalid argument (pclass == NULL).";

// Operators.
inline constexpr const KvoChar* KVO_ERR_DIVIDE_BY_ZERO = u"divide 0 error";
inline constexpr const KvoChar* KVO_ERR_LEFT_STRING_NULL = u"left string operand is NULL";
inline constexpr const KvoChar* KVO_ERR_RIGHT_STRING_NULL = u"right string operand is NULL";
inline constexpr const KvoChar* KVO_ERR_SUBSCRIPT = u"subscript out of range";
