// Tokenizes Kivo scripts with the TextMate grammar and lists every token scoped invalid.*: a
// script that compiles cleanly must have none.
// usage: node tm_false_errors.js GRAMMAR SCRIPT...   (vscode-textmate and vscode-oniguruma on
// NODE_PATH). Exit status 0 when no script has such a token, 1 otherwise.
'use strict';
const fs = require('fs');
const textmate = require('vscode-textmate');
const oniguruma = require('vscode-oniguruma');

const [grammarPath, ...scripts] = process.argv.slice(2);
const wasm = fs.readFileSync(require.resolve('vscode-oniguruma').replace(/main\.js$/, 'onig.wasm')).buffer;
const onigLib = oniguruma.loadWASM(wasm).then(() => ({
  createOnigScanner: (patterns) => new oniguruma.OnigScanner(patterns),
  createOnigString: (text) => new oniguruma.OnigString(text),
}));
const registry = new textmate.Registry({
  onigLib,
  loadGrammar: async () => textmate.parseRawGrammar(fs.readFileSync(grammarPath, 'utf8'), grammarPath),
});

registry.loadGrammar('source.kivo').then((grammar) => {
  let problems = 0;
  for (const script of scripts) {
    let stack = textmate.INITIAL;
    fs.readFileSync(script, 'utf8').split('\n').forEach((line, index) => {
      const result = grammar.tokenizeLine(line, stack);
      stack = result.ruleStack;
      for (const token of result.tokens) {
        if (token.scopes.some((scope) => scope.startsWith('invalid.'))) {
          problems++;
          console.log(`${script}:${index + 1}:${token.startIndex + 1}: marked as an error: ` +
                      `${line.substring(token.startIndex, token.endIndex)} (${token.scopes.join(' ')})`);
        }
      }
    });
  }
  console.log(`${scripts.length} clean scripts tokenized, ${problems} false error(s)`);
  process.exit(problems ? 1 : 0);
}, (error) => {
  console.log(`cannot load ${grammarPath}: ${error}`);
  process.exit(1);
});
