#!/usr/bin/env python3
"""Checks that both editor grammars know every word the scanner and the compiler reserve.

usage: keyword_coverage.py SOURCE_DIR

The reserved words are read from the scanner's token list (core/compiler/KvoToken.h, the tokens
marked as keywords) and its extra keyword texts (core/compiler/KvoToken.cpp, such as "nil"). Each
must be a keyword of the Vim syntax (a `syn keyword` of a colouring group) and of the TextMate
grammar (a word of a \\b(...)\\b alternation under its "keywords" rule). Words that have token
codes but scan as identifiers (eval, public, ...) must be keywords of neither. Likewise the
compiler's directives (the names it compares after "#") must appear in both grammars' directive
rules, and its predefined literals and the library's system variables among their names.
Exit status 0 when all holds, 1 otherwise, with one line per problem.
"""

import json
import re
import sys
from pathlib import Path

TOKEN_ENTRY = re.compile(r'X\(\s*(TOK_\w+)\s*,\s*(\d+)\s*,\s*u"([^"]*)"\s*,\s*(true|false)\s*\)')
EXTRA_KEYWORD = re.compile(r'\{\s*u"([A-Za-z_]\w*)"\s*,\s*TOK_\w+\s*\}')
ALTERNATION = re.compile(r'\\b\(\??:?([\w|]+)\)\\b')
DIRECTIVE = re.compile(r'directive\s*==\s*u"(\w+)"')
PREDEFINED_LITERAL = re.compile(r'\{\s*u"(\w+)"\s*,\s*-?\d+\s*\}')
SYSTEM_VARIABLE = re.compile(r'kvoRegisterSymbol\(\s*vm\s*,\s*u"(\w+)"[^;]*SYM_VARIABLE')
VIM_DIRECTIVE_RULE = re.compile(r"^syn(?:tax)?\s+match\s+kivo(?:Directive|Define|Include)\s+'([^']*)'", re.M)
# Groups whose keywords are not the language's reserved words.
VIM_OTHER_GROUPS = {"kivoBuiltin", "kivoTodo"}


def scanner_words(source: Path):
    """The reserved words, and the identifier-like token texts that are not reserved."""
    header = (source / "core/compiler/KvoToken.h").read_text(encoding="utf-8")
    entries = TOKEN_ENTRY.findall(header)
    keywords = {text for _, _, text, keyword in entries if keyword == "true"}
    unreserved = {text for _, _, text, keyword in entries
                  if keyword == "false" and re.fullmatch(r"[A-Za-z_]\w*", text)}
    table = (source / "core/compiler/KvoToken.cpp").read_text(encoding="utf-8")
    keywords |= set(EXTRA_KEYWORD.findall(table))
    return entries, keywords, unreserved - keywords


def compiler_words(source: Path):
    """The directive names, the predefined literals and the system variables."""
    compiler = "".join(path.read_text(encoding="utf-8")
                       for path in sorted((source / "core/compiler").glob("*.cpp")))
    library = "".join(path.read_text(encoding="utf-8")
                      for path in sorted((source / "core/stdlib").glob("*.cpp")))
    return (set(DIRECTIVE.findall(compiler)), set(PREDEFINED_LITERAL.findall(compiler)),
            set(SYSTEM_VARIABLE.findall(library)))


def words_of(regex):
    return set(re.findall(r"[A-Za-z_]\w*", regex))


def vim_keywords(path: Path):
    """Words of every `syn keyword` statement, by group."""
    text = re.sub(r"\n\s*\\", " ", path.read_text(encoding="utf-8"))  # join continued lines
    groups = {}
    for line in text.splitlines():
        fields = line.split('"', 1)[0].split()
        if len(fields) >= 3 and fields[0] in ("syn", "syntax") and fields[1] == "keyword":
            words = [w for w in fields[3:] if "=" not in w and w not in ("contained", "skipwhite", "skipnl", "skipempty", "transparent")]
            groups.setdefault(fields[2], set()).update(words)
    return groups


def textmate_words(path: Path):
    """Words of the \\b(...)\\b alternations: those under the "keywords" rule, and all of them."""
    grammar = json.loads(path.read_text(encoding="utf-8"))

    def collect(node, into):
        if isinstance(node, dict):
            for key, value in node.items():
                if key in ("match", "begin") and isinstance(value, str):
                    for alternation in ALTERNATION.findall(value):
                        into.update(alternation.split("|"))
                else:
                    collect(value, into)
        elif isinstance(node, list):
            for item in node:
                collect(item, into)
        return into

    return collect(grammar["repository"].get("keywords", {}), set()), collect(grammar, set())


def textmate_directive_words(path: Path):
    """The words of the regular expressions under the "directives" rule."""
    grammar = json.loads(path.read_text(encoding="utf-8"))
    words = set()

    def collect(node):
        if isinstance(node, dict):
            for key, value in node.items():
                if key in ("match", "begin") and isinstance(value, str):
                    words.update(words_of(value))
                else:
                    collect(value)
        elif isinstance(node, list):
            for item in node:
                collect(item)

    collect(grammar["repository"].get("directives", {}))
    return words


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    source = Path(argv[1])
    problems = []
    entries, keywords, unreserved = scanner_words(source)
    # A change of the token list's layout must not make this test pass on an empty list.
    if len(entries) != 61 or not {"class", "nil", "null", "TRSTEP"} <= keywords or "eval" not in unreserved:
        problems.append(f"could not read the token list: {len(entries)} tokens, keywords {sorted(keywords)}")

    directives, literals, variables = compiler_words(source)
    if not ({"include", "endsrc"} <= directives and {"UNICODE", "true"} <= literals and "stdout" in variables):
        problems.append(f"could not read the compiler's names: directives {sorted(directives)}, "
                        f"literals {sorted(literals)}, variables {sorted(variables)}")

    vim_path = source / "editors/vim/syntax/kivo.vim"
    tm_path = source / "editors/vscode/syntaxes/kivo.tmLanguage.json"
    vim_groups = vim_keywords(vim_path)
    vim_reserved = set().union(*(words for group, words in vim_groups.items() if group not in VIM_OTHER_GROUPS))
    vim_all = set().union(*vim_groups.values())
    tm_reserved, tm_all = textmate_words(tm_path)
    vim_directives = set().union(*map(words_of, VIM_DIRECTIVE_RULE.findall(vim_path.read_text(encoding="utf-8"))))
    tm_directives = textmate_directive_words(tm_path)

    for word in sorted(keywords):
        if word not in vim_reserved:
            problems.append(f'Vim syntax: reserved word "{word}" is not a keyword')
        if word not in tm_reserved:
            problems.append(f'TextMate grammar: reserved word "{word}" is not under "keywords"')
    for word in sorted(unreserved):
        if word in vim_all:
            problems.append(f'Vim syntax: "{word}" scans as an identifier but is coloured as a keyword')
        if word in tm_all:
            problems.append(f'TextMate grammar: "{word}" scans as an identifier but is coloured as a keyword')

    for word in sorted(directives):
        if word not in vim_directives:
            problems.append(f'Vim syntax: directive "#{word}" is not in the directive rules')
        if word not in tm_directives:
            problems.append(f'TextMate grammar: directive "#{word}" is not under "directives"')
    for word in sorted(literals | variables):
        if word not in vim_reserved:
            problems.append(f'Vim syntax: predefined name "{word}" is not a keyword')
        if word not in tm_all:
            problems.append(f'TextMate grammar: predefined name "{word}" is not named')

    for problem in problems:
        print(problem)
    if not problems:
        print(f"{len(keywords)} reserved words, {len(directives)} directives and "
              f"{len(literals | variables)} predefined names in both grammars; "
              f"{len(unreserved)} identifiers left alone")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
