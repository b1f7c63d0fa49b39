" Loads the Kivo runtime files into a bare Vim and checks the syntax group at chosen places of
" sample.kvo, the file-type detection and the file-type settings, and that no script under the
" folders KIVO_CLEAN_ROOTS (separated by ",") that compiles cleanly shows an error. Run headless:
"   KIVO_VIM_DIR=editors/vim KIVO_SAMPLE=tests/editors/sample.kvo vim -Nu NONE -i NONE -es -S this-file
" Exits 0 when every check passes; otherwise lists the failures on standard error and exits 1.
let s:failures = []

function! s:Fail(message) abort
  call add(s:failures, a:message)
endfunction

function! s:Equal(what, actual, expected) abort
  if a:actual !=# a:expected
    call s:Fail(printf('%s: got "%s", expected "%s"', a:what, a:actual, a:expected))
  endif
endfunction

" The group of the first match of pattern after the previous check, at the match's start (or
" offset characters after it). Checks read the sample from top to bottom.
function! s:Group(pattern, expected, ...) abort
  let offset = a:0 ? a:1 : 0
  let [line, column] = searchpos('\C' . a:pattern, s:line ? 'W' : 'cW')
  if line == 0
    call s:Fail(printf('pattern /%s/ not found after line %d', a:pattern, s:line))
    return
  endif
  let s:line = line
  let name = synIDattr(synID(line, column + offset, 1), 'name')
  call s:Equal(printf('line %d column %d (/%s/)', line, column + offset, a:pattern), name, a:expected)
endfunction

try
  let s:runtime = fnamemodify($KIVO_VIM_DIR, ':p')
  let s:sample = fnamemodify($KIVO_SAMPLE, ':p')
  if !isdirectory(s:runtime) || !filereadable(s:sample)
    throw 'set KIVO_VIM_DIR to editors/vim and KIVO_SAMPLE to the sample file'
  endif
  " Only these files and Vim's own: nothing of the user's ~/.vim.
  let &runtimepath = s:runtime . ',' . $VIMRUNTIME
  filetype plugin on
  syntax on

  " ---- detection and settings ----
  let $KVOINC = '/opt/kivo/include:/srv/kivo;/home/k/inc'
  execute 'edit ' . fnameescape(s:sample)
  call s:Equal('file type of a .kvo file', &filetype, 'kivo')
  call s:Equal('syntax of a .kvo file', get(b:, 'current_syntax', ''), 'kivo')
  call s:Equal('commentstring', &l:commentstring, '// %s')
  call s:Equal('shiftwidth', &l:shiftwidth, 4)
  call s:Equal('expandtab', &l:expandtab, 1)
  if &l:path !~# ',/opt/kivo/include,/srv/kivo,/home/k/inc$'
    call s:Fail('path does not end in the KVOINC directories: ' . &l:path)
  endif
  " Typing in a new file uses the settings: a comment line continues, the body is indented.
  enew
  setfiletype kivo
  execute "normal! imain() {\nif (x)\ny = 1;\nreturn 0;\n}\n// a note\ngoes on"
  call s:Equal('lines typed', getline(1, '$'),
        \ ['main() {', '    if (x)', '        y = 1;', '    return 0;', '}', '// a note', '// goes on'])
  bwipeout!

  let s:scratch = tempname()
  call mkdir(s:scratch)
  for [s:first, s:expected] in [['#!/usr/bin/env kivo', 'kivo'], ['#!/usr/local/bin/kv2 -t', 'kivo'],
        \ ['#!/bin/sh', ''], ['#!/usr/bin/kivoish', ''], ['print("#!kivo");', '']]
    let s:file = s:scratch . '/script' . len(s:failures) . localtime() . reltimestr(reltime())
    call writefile([s:first, 'main() { return 0; }'], s:file)
    execute 'edit ' . fnameescape(s:file)
    let s:what = 'file type for the first line ' . s:first
    if empty(s:expected)
      if &filetype ==# 'kivo'
        call s:Fail(s:what . ': taken for kivo')
      endif
    else
      call s:Equal(s:what, &filetype, s:expected)
    endif
    bwipeout!
  endfor
  call delete(s:scratch, 'rf')

  " ---- syntax groups ----
  execute 'edit ' . fnameescape(s:sample)
  let s:line = 0
  call cursor(1, 1)
  call s:Group('#!/usr', 'kivoLineComment')
  call s:Group('#include "', 'kivoInclude')
  call s:Group('"lib/util', 'kivoString')
  call s:Group('<lib/util', 'kivoIncluded')
  call s:Group('# import', 'kivoDirective')
  call s:Group('"kv2class"', 'kivoString')
  call s:Group('#use', 'kivoDirective')
  call s:Group('#deflit', 'kivoDefine')
  call s:Group('LIMIT', 'kivoDefinedName')
  call s:Group('2 \*', 'kivoNumber')
  call s:Group('#defvar', 'kivoDefine')
  call s:Group('table', 'kivoDefinedName')
  call s:Group('#undeflit', 'kivoDefine')
  call s:Group('#define', 'kivoBadDirective')
  " Block comments do not nest: the first */ ends this one.
  call s:Group('/\* a block', 'kivoComment')
  call s:Group('/\* does', 'kivoComment')
  call s:Group('\*/ x', 'kivoComment', 1)
  call s:Group(' x;', '', 1)
  call s:Group('"quotes"', 'kivoComment')
  call s:Group('// and', 'kivoComment')
  call s:Group('@ inside', 'kivoComment')
  call s:Group('after', '')
  call s:Group('@ an', 'kivoLineComment')
  call s:Group('tail', '')
  call s:Group('#! a comment', 'kivoLineComment')
  call s:Group('class', 'kivoStructure')
  call s:Group('Shape', 'kivoClassDeclName')
  call s:Group('Base', 'kivoClassDeclName')
  call s:Group('static', 'kivoStorageClass')
  call s:Group('var', 'kivoType')
  call s:Group('operator', 'kivoOperatorWord')
  call s:Group('Shape::', 'kivoClassName')
  call s:Group('return', 'kivoStatement')
  call s:Group('this', 'kivoSelf')
  call s:Group('->', 'kivoOperator')
  call s:Group('self', 'kivoSelf')
  call s:Group('function', 'kivoType')
  call s:Group('if', 'kivoConditional')
  call s:Group('else', 'kivoConditional')
  call s:Group('while', 'kivoRepeat')
  call s:Group('break', 'kivoStatement')
  call s:Group('continue', 'kivoStatement')
  call s:Group('do', 'kivoRepeat')
  call s:Group('--', 'kivoOperator')
  call s:Group('for', 'kivoRepeat')
  call s:Group('++', 'kivoOperator')
  call s:Group('switch', 'kivoConditional')
  call s:Group('case', 'kivoLabel')
  call s:Group('default', 'kivoLabel')
  call s:Group('try', 'kivoException')
  call s:Group('throw', 'kivoException')
  call s:Group('catch', 'kivoException')
  call s:Group('new', 'kivoOperatorWord')
  call s:Group('delete', 'kivoOperatorWord')
  call s:Group('TRON', 'kivoDebug')
  call s:Group('TROFF', 'kivoDebug')
  call s:Group('TRSTEP', 'kivoDebug')
  call s:Group('null', 'kivoNull')
  call s:Group('nil', 'kivoNull')
  call s:Group('true', 'kivoBoolean')
  call s:Group('UNICODE', 'kivoPredefined')
  call s:Group('fputs', 'kivoBuiltin')
  call s:Group('__OSTYPE__', 'kivoSysVariable')
  call s:Group('stdout', 'kivoSysVariable')
  call s:Group('print', 'kivoBuiltin')
  call s:Group('strjoin', 'kivoBuiltin')
  call s:Group('mine', 'kivoCall')
  " These words have token codes but scan as identifiers.
  call s:Group('eval', '')
  call s:Group('public', '')
  call s:Group('protected', '')
  call s:Group('private', '')
  call s:Group('iffy', '')
  call s:Group('=>', 'kivoOperator')
  call s:Group('<<=', 'kivoOperator')
  call s:Group('"tab', 'kivoString')
  call s:Group('\\t', 'kivoEscape')
  call s:Group('\\"', 'kivoEscape')
  call s:Group('quote', 'kivoString')
  call s:Group('\\65 ', 'kivoNumericEscape')
  call s:Group('\\0x41', 'kivoNumericEscape')
  call s:Group('\\1\.5', 'kivoBadEscape')
  call s:Group('\\65end', 'kivoBadEscape')
  call s:Group('nd"', 'kivoString')
  " A string runs on over the line end, and // inside it starts no comment.
  call s:Group('// not', 'kivoString')
  call s:Group('that spans', 'kivoString')
  call s:Group('''A''', 'kivoCharacter')
  call s:Group('\\n''', 'kivoEscape')
  call s:Group('''''''', 'kivoCharacter')
  call s:Group('''ab', 'kivoBadCharacter')
  call s:Group('42', 'kivoNumber')
  call s:Group('0x1F', 'kivoHex')
  call s:Group('017', 'kivoOctal')
  call s:Group('09', 'kivoBadOctal')
  call s:Group('1\.5e-3', 'kivoFloat')
  call s:Group('-3', 'kivoFloat', 1)
  call s:Group('2E10', 'kivoFloat')
  call s:Group('3\.', 'kivoFloat')
  " .5 is the token "." and the number 5.
  call s:Group('\.5', '')
  call s:Group('5 +', 'kivoNumber')
  call s:Group('x1', '')
  call s:Group('#(', 'kivoLiteralHash')
  call s:Group('#endsrc', 'kivoDirective')

  " ---- no false alarms ----
  " Scripts that compile cleanly (those without an expected compile error) show no Error group.
  let s:clean = 0
  for s:file in globpath($KIVO_CLEAN_ROOTS, '**/*.kvo', 0, 1)
    if match(readfile(s:file), 'expect compile error') >= 0
      continue
    endif
    let s:clean += 1
    execute 'edit ' . fnameescape(s:file)
    for s:lnum in range(1, line('$'))
      for s:col in range(1, len(getline(s:lnum)))
        if synIDattr(synIDtrans(synID(s:lnum, s:col, 1)), 'name') ==# 'Error'
          call s:Fail(printf('%s:%d:%d: marked as an error: %s', s:file, s:lnum, s:col, getline(s:lnum)))
          break
        endif
      endfor
    endfor
    bwipeout!
  endfor
  if !empty($KIVO_CLEAN_ROOTS) && s:clean == 0
    call s:Fail('no scripts found under ' . $KIVO_CLEAN_ROOTS)
  endif
catch
  call s:Fail('error: ' . v:exception . ' at ' . v:throwpoint)
endtry

if empty(s:failures)
  call writefile(['vim syntax: all checks passed (' . s:clean . ' clean scripts)'], '/dev/stdout', 'a')
  qall!
endif
call writefile(['vim syntax: ' . len(s:failures) . ' failed check(s)'] + s:failures, '/dev/stderr', 'a')
cquit!
