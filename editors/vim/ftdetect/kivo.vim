" Kivo scripts: the .kvo extension, or a first line that runs the interpreter
" (#!/usr/bin/env kivo, #!/usr/local/bin/kv2 ...).
autocmd BufRead,BufNewFile *.kvo setfiletype kivo
autocmd BufRead,BufNewFile * if !did_filetype() && getline(1) =~# '^#!.*\<\%(kivo\|kv2\)\>' | setfiletype kivo | endif
