// The texts of the compiler's diagnostics and information lines. Every diagnostic goes through
// the scanner's parseError, which adds the source name, line, position and line text, and is then
// printed verbatim. Scripts, hosts and tests see these texts, so they are behaviour: change none
// of them without changing the tests that pin them. Texts ending in FORMAT take printf arguments
// (%s: UTF-16 text, %d: int).
#pragma once

#include "platform/KvoTypes.h"

// ---- compile() misuse (printed as they stand, without parseError) ------------------------------
inline constexpr const KvoChar* KVO_CMSG_INVALID_FILE = u"KvoCompiler::compile(FILE* fp) invalid file handle\n";
inline constexpr const KvoChar* KVO_CMSG_INVALID_SOURCE = u"KvoCompiler::compile(const KvoChar* src) invalid source\n";

// ---- information lines (show-information switch) -----------------------------------------------
inline constexpr const KvoChar* KVO_CINFO_CLASS_FORMAT = u"class %s\n";
inline constexpr const KvoChar* KVO_CINFO_CLASS_BASE_FORMAT = u"class %s : %s\n";
inline constexpr const KvoChar* KVO_CINFO_CLASS_FORWARD_FORMAT = u"class %s forward declaration\n";
inline constexpr const KvoChar* KVO_CINFO_FUNCTION_FORMAT = u"function %s\n";
inline constexpr const KvoChar* KVO_CINFO_MEMBER_FUNCTION_FORMAT = u"member function %s::%s\n";

// ---- declarations, classes and directives ------------------------------------------------------
inline constexpr const KvoChar* KVO_CMSG_DECLARATION_EXPECTED = u"declaration expected";
inline constexpr const KvoChar* KVO_CMSG_FUNCTION_EXPECTED = u"function declaration expected";
// Arguments: the display text of the expected token, then of the token found.
inline constexpr const KvoChar* KVO_CMSG_EXPECTED_FOUND_FORMAT = u"expected '%s', found '%s'";
inline constexpr const KvoChar* KVO_CMSG_UNDEFINED_CLASS = u"undefined class";
inline constexpr const KvoChar* KVO_CMSG_OWN_BASE = u"class can't be its own base";
inline constexpr const KvoChar* KVO_CMSG_BASE_REDEFINED = u"illegal redefinition of base class";
inline constexpr const KvoChar* KVO_CMSG_UNEXPECTED_EOF = u"unexpected EOF";
inline constexpr const KvoChar* KVO_CMSG_STATIC_OPERATOR = u"static operators not allowed";
inline constexpr const KvoChar* KVO_CMSG_MEMBER_EXPECTED = u"member declaration expected";
inline constexpr const KvoChar* KVO_CMSG_DESTRUCTOR_EXPECTED = u"destructor declaration expected";
inline constexpr const KvoChar* KVO_CMSG_STATIC_DESTRUCTOR = u"destructor can't be static";
inline constexpr const KvoChar* KVO_CMSG_STATIC_CONSTRUCTOR = u"constructor can't be static";
inline constexpr const KvoChar* KVO_CMSG_DESTRUCTOR_VALUE = u"destructor can't return a value";
inline constexpr const KvoChar* KVO_CMSG_CONSTRUCTOR_VALUE = u"constructor can't return a value";
inline constexpr const KvoChar* KVO_CMSG_NULL_CLASS_VARIABLE = u"unexpected null-keyword before class variable declaration";
inline constexpr const KvoChar* KVO_CMSG_NULL_MEMBER_VARIABLE = u"unexpected null-keyword before member variable declaration";
inline constexpr const KvoChar* KVO_CMSG_BASE_NEW_MEMBER = u"classes already used as base must not define new member variables";
inline constexpr const KvoChar* KVO_CMSG_MEMBER_NOT_STATIC = u"object member data can't be redifined as static";
inline constexpr const KvoChar* KVO_CMSG_DUPLICATE_IDENTIFIER = u"Duplicated identifier found";
inline constexpr const KvoChar* KVO_CMSG_OPERATOR_PREFIX = u"invalid operator prefix";
inline constexpr const KvoChar* KVO_CMSG_OPERATOR_AFTER_PREFIX = u"invalid operator token behind prefix";
inline constexpr const KvoChar* KVO_CMSG_OPERATOR_DEFINITION = u"invalid operator definition";
inline constexpr const KvoChar* KVO_CMSG_DESTRUCTOR_DEFINITION = u"illegal destructor definition";
inline constexpr const KvoChar* KVO_CMSG_ILLEGAL_REDEFINITION = u"illegal redefinition";
inline constexpr const KvoChar* KVO_CMSG_LIBRARY_IMPORT = u"library import failed";
inline constexpr const KvoChar* KVO_CMSG_NATIVE_IMPORT = u"native module import failed";
inline constexpr const KvoChar* KVO_CMSG_UNDEFINED_DIRECTIVE = u"undefined preprocessor symbol";
inline constexpr const KvoChar* KVO_CMSG_INCLUDE_NAME = u"include file name expected";
// Printed as "%s %s": the file name, then the diagnostic of this message. The include's other
// file errors take the same form: a directory, and anything else that is not a regular file (a
// FIFO or a device, which could keep the compiler waiting or reading without end).
inline constexpr const KvoChar* KVO_CMSG_FILE_NOT_FOUND = u"file not found";
inline constexpr const KvoChar* KVO_CMSG_FILE_NOT_FOUND_LINE_FORMAT = u"%s %s";
inline constexpr const KvoChar* KVO_CMSG_IS_DIRECTORY = u"Is a directory";
inline constexpr const KvoChar* KVO_CMSG_NOT_REGULAR_FILE = u"not a regular file";
// The host cancelled the compilation (KvoVirtualMachine::cancel); compilation ends there.
inline constexpr const KvoChar* KVO_CMSG_CANCELLED = u"compilation cancelled";
// One declaration gave KVO_MAX_DIAGNOSTICS diagnostics (the source is hardly a script); %d is the
// number. Compilation ends there.
inline constexpr const KvoChar* KVO_CMSG_TOO_MANY_ERRORS_FORMAT = u"too many errors (%d), compilation stopped";

// ---- function bodies and variables -------------------------------------------------------------
inline constexpr const KvoChar* KVO_CMSG_STATIC_DEFINED_FORMAT = u"Static variable of name '%s' already defined";
inline constexpr const KvoChar* KVO_CMSG_ARGUMENT_DEFINED_FORMAT = u"Argument of name '%s' already defined";
inline constexpr const KvoChar* KVO_CMSG_LOCAL_DEFINED_FORMAT = u"Local variable of name '%s' already defined";
inline constexpr const KvoChar* KVO_CMSG_NO_LOCAL_SPACE = u"No local variables space in current function";

// ---- expressions -------------------------------------------------------------------------------
inline constexpr const KvoChar* KVO_CMSG_LVALUE_EXPECTED = u"lvalue expected";
inline constexpr const KvoChar* KVO_CMSG_PRIMARY_EXPECTED = u"primary expression expected";
inline constexpr const KvoChar* KVO_CMSG_NOT_CLASS_MEMBER = u"not a class member";
inline constexpr const KvoChar* KVO_CMSG_NOT_STATIC_MEMBER = u"not a static class member";
// Expressions, statements, literal values or function literals nested deeper than
// KVO_MAX_NESTING_DEPTH; %d is the limit. Compilation ends there.
inline constexpr const KvoChar* KVO_CMSG_NESTING_TOO_DEEP_FORMAT = u"nesting too deep (limit is %d)";

// ---- statements --------------------------------------------------------------------------------
inline constexpr const KvoChar* KVO_CMSG_EOF_IN_BLOCK = u"unexpected EOF in block";
inline constexpr const KvoChar* KVO_CMSG_MULTIPLE_DEFAULT = u"multiple 'default' branches not allowed";
inline constexpr const KvoChar* KVO_CMSG_CASE_EXPECTED = u"'case' or 'default' expected";
inline constexpr const KvoChar* KVO_CMSG_BREAK_OUTSIDE = u"break outside of loop found";
inline constexpr const KvoChar* KVO_CMSG_CONTINUE_OUTSIDE = u"continue outside of loop found";

// ---- literal expressions -----------------------------------------------------------------------
inline constexpr const KvoChar* KVO_CMSG_LITERAL_EXPECTED = u"literal expected";
inline constexpr const KvoChar* KVO_CMSG_VECTOR_SEPARATOR = u"',' or ']' expected";
inline constexpr const KvoChar* KVO_CMSG_DICTIONARY_SEPARATOR = u"',' or '}' expected";
// Integer "/" or "%" by zero in a literal expression; the result is the integer 0.
inline constexpr const KvoChar* KVO_CMSG_LITERAL_DIVIDE_BY_ZERO = u"divide 0 error in literal expression";
