" Kivo file-type settings: comments, indentation and includes.
if exists('b:did_ftplugin')
  finish
endif
let b:did_ftplugin = 1

let s:cpo_save = &cpo
set cpo&vim

" Block comments with a leading star on continued lines, and the three line comments.
setlocal comments=s1:/*,mb:*,ex:*/,://,:@
setlocal commentstring=//\ %s
" Continue comments on new lines and when wrapping, and join them sensibly.
setlocal formatoptions-=t formatoptions+=croql

" Four spaces, the C way of indenting: braces, case labels and continued expressions.
setlocal expandtab shiftwidth=4 softtabstop=4 tabstop=8
setlocal cindent cinoptions=:0,l1,g0,(0,W4
setlocal cinkeys-=0#

" gf and [i follow #include "file" through the directories the compiler searches.
setlocal include=^\\s*#\\s*include
setlocal suffixesadd=.kvo
if exists('$KVOINC')
  let &l:path = &path . ',' . join(split($KVOINC, '[:;]'), ',')
endif

let b:undo_ftplugin = 'setlocal comments< commentstring< formatoptions< expandtab< shiftwidth<'
      \ . ' softtabstop< tabstop< cindent< cinoptions< cinkeys< include< suffixesadd< path<'

let &cpo = s:cpo_save
unlet s:cpo_save
