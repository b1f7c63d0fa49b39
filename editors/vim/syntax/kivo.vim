" Vim syntax file
" Language:    Kivo
" Filenames:   *.kvo, scripts whose first line is #! ... kivo (or kv2)
"
" The groups follow the scanner: four kinds of comment, none nested (a block comment ends at the
" first */); strings that may span lines; escapes after a backslash; numbers that start with a
" digit (.5 is "." and 5, signs are operators); the reserved words; the # directives.

if exists('b:current_syntax')
  finish
endif

let s:cpo_save = &cpo
set cpo&vim

syn case match

" ---- reserved words -------------------------------------------------------------------------
" eval, public, protected and private are ordinary identifiers, so they are not listed.
syn keyword kivoConditional   if else switch
syn keyword kivoLabel         case default
syn keyword kivoRepeat        while for do
syn keyword kivoStatement     return break continue
syn keyword kivoException     try catch throw
syn keyword kivoOperatorWord  new delete
syn keyword kivoStructure     class nextgroup=kivoClassDeclName skipwhite skipnl
syn keyword kivoStorageClass  static
syn keyword kivoType          var function
syn keyword kivoOperatorWord  operator
syn keyword kivoDebug         TRON TROFF TRSTEP
syn keyword kivoNull          null nil

" ---- predefined names -----------------------------------------------------------------------
syn keyword kivoBoolean       true false
syn keyword kivoPredefined    UNICODE WIN32 WINCE MSDOS LINUX
syn keyword kivoSelf          this self
syn keyword kivoSysVariable   stdin stdout stderr __OSTYPE__ __UNICODE__

" The standard library, only where it is called.
syn keyword kivoBuiltin contained print string int float double buffer gettype gettypename
      \ getclassname dynamic_cast size addr newvector T Vec vecsize newstring newbuffer newcbuffer
      \ CBuf strlen strcmp stricmp strsplit strfind strerase strinsert strreplace substr newdict
      \ dictcontains dicterase dictclear dictgetkeys dictgetvalues fopen fclose feof getc putc gets
      \ fgets fputs getwc putwc fgetws fputws fread fwrite freadval fwriteval sin cos tan atan sqrt
      \ log exp abs pow time timer ctime localtime rand srand getenv setenv getargs getusrargs argcnt
      \ arg compile loadmodule LoadLibrary FreeLibrary GetProcAddress CallLibFunc GetCoreFunc
      \ GetUser32Func GetKernel32Func GetGdi32Func GetShell32Func GetOle32Func strupper strlower
      \ strjoin strsplitat vecsort min max floor ceil round readfile exit
syn match kivoCall '\<\h\w*\ze\s*(' contains=kivoBuiltin

" Class::member, and the names a class declaration introduces.
syn match kivoClassName '\<\h\w*\ze\s*::'
syn match kivoClassDeclName contained '\h\w*' nextgroup=kivoInheritance skipwhite skipnl
syn match kivoInheritance contained ':\ze[^:]' nextgroup=kivoClassDeclName skipwhite skipnl

" ---- numbers --------------------------------------------------------------------------------
" Later matches win, so the general forms come first.
syn match kivoNumber  '\<\d\+\>'
syn match kivoOctal   '\<0\o\+\>'
" A leading zero means octal: an 8 or 9 ends the value there, which is never what was meant.
syn match kivoBadOctal '\<0\o*[89]\d*\>'
syn match kivoFloat   '\<\d\+\%(\.\d*\%([eE][-+]\=\d*\)\=\|[eE][-+]\=\d*\)'
syn match kivoHex     '\<0[xX]\x*'

" ---- strings and characters ------------------------------------------------------------------
" After a backslash: a b f n r t v, a number (decimal, 0 octal, 0x hexadecimal), or any other
" character standing for itself. A numeric escape with a fraction or exponent is an error.
syn match kivoEscape        contained '\\\_.'
syn match kivoEscape        contained '\\[abfnrtv]'
syn match kivoNumericEscape contained '\\\d\+'
syn match kivoNumericEscape contained '\\0[xX]\x*'
syn match kivoBadEscape     contained '\\\d\+\%(\.\d*\%([eE][-+]\=\d*\)\=\|[eE][-+]\=\d*\)'
syn cluster kivoEscapes contains=kivoEscape,kivoNumericEscape,kivoBadEscape

syn region kivoString start='"' skip='\\\\\|\\"' end='"' contains=@kivoEscapes,@Spell

" One character or escape between apostrophes; ''' is the apostrophe itself.
syn match kivoBadCharacter "'"
syn match kivoCharacter "'\%(\\\%(0[xX]\x*\|\d\+\%(\.\d*\%([eE][-+]\=\d*\)\=\|[eE][-+]\=\d*\)\=\|.\)\|[^\\]\)'"
      \ contains=@kivoEscapes

" ---- operators ------------------------------------------------------------------------------
syn match kivoOperator '[-+*/%&|^~!=<>?:]'
syn match kivoOperator '->\|=>\|::\|++\|--\|&&\|||\|<<=\|>>=\|<<\|>>\|[-+*/%&|^~!=<>]='

" ---- directives -----------------------------------------------------------------------------
" "#" and the name are separate tokens, so blanks may stand between them.
syn match kivoBadDirective '#\s*\h\w*'
syn match kivoDirective    '#\s*\%(use\|import\|endsrc\)\>'
syn match kivoDefine       '#\s*\%(deflit\|literal\|undeflit\|defvar\)\>' nextgroup=kivoDefinedName skipwhite
syn match kivoDefinedName  contained '\h\w*'
syn match kivoInclude      '#\s*include\>' nextgroup=kivoString,kivoIncluded skipwhite
syn match kivoIncluded     contained '<[^>\n]*>'
" #( ... ) evaluates a literal expression while compiling.
syn match kivoLiteralHash  '#\ze\s*('

" ---- comments -------------------------------------------------------------------------------
" Defined last so that they win over everything they start with.
syn keyword kivoTodo contained TODO FIXME XXX NOTE
syn region kivoComment start='/\*' end='\*/' contains=kivoTodo,@Spell
syn match kivoLineComment '//.*$' contains=kivoTodo,@Spell
syn match kivoLineComment '#!.*$' contains=kivoTodo,@Spell
syn match kivoLineComment '@.*$' contains=kivoTodo,@Spell
syn match kivoCommentError '\*/'

syn sync ccomment kivoComment minlines=50

hi def link kivoConditional    Conditional
hi def link kivoLabel          Label
hi def link kivoRepeat         Repeat
hi def link kivoStatement      Statement
hi def link kivoException      Exception
hi def link kivoOperatorWord   Operator
hi def link kivoStructure      Structure
hi def link kivoStorageClass   StorageClass
hi def link kivoType           Type
hi def link kivoDebug          Debug
hi def link kivoNull           Constant
hi def link kivoBoolean        Boolean
hi def link kivoPredefined     Constant
hi def link kivoSelf           Identifier
hi def link kivoSysVariable    Identifier
hi def link kivoBuiltin        Function
hi def link kivoClassName      Type
hi def link kivoClassDeclName  Type
hi def link kivoInheritance    Operator
hi def link kivoNumber         Number
hi def link kivoOctal          Number
hi def link kivoHex            Number
hi def link kivoFloat          Float
hi def link kivoBadOctal       Error
hi def link kivoString         String
hi def link kivoCharacter      Character
hi def link kivoBadCharacter   Error
hi def link kivoEscape         SpecialChar
hi def link kivoNumericEscape  SpecialChar
hi def link kivoBadEscape      Error
hi def link kivoOperator       Operator
hi def link kivoDirective      PreProc
hi def link kivoDefine         Define
hi def link kivoDefinedName    Constant
hi def link kivoInclude        Include
hi def link kivoIncluded       String
hi def link kivoBadDirective   Error
hi def link kivoLiteralHash    PreProc
hi def link kivoTodo           Todo
hi def link kivoComment        Comment
hi def link kivoLineComment    Comment
hi def link kivoCommentError   Error

let b:current_syntax = 'kivo'

let &cpo = s:cpo_save
unlet s:cpo_save
