// KvoCompiler: statements and control flow. A statement leaves the stack as it found it; its
// value stays in the top slot, where the next statement's value overwrites it. Forward jumps are
// chains patched when their target is known; the function context's control stack records the
// enclosing loops, switches, try and catch blocks, so that break and continue leave each of them
// properly (handlers removed, switch values popped, the exception slot cleared).
#include "compiler/KvoCompiler.h"

#include "compiler/KvoCompilerMessages.h"
#include "compiler/KvoFuncContext.h"
#include "compiler/KvoScanner.h"
#include "compiler/KvoVarInfo.h"

// block -> "{" { statement | "#" directive } "}", after the "{". An empty block yields null.
void KvoCompiler::_codeBlock(KvoFuncContext& ctx)
{
    KvoToken token = _next();
    if (_isChar(token, '}')) {
        ctx.emitter().emit(NIL);
        return;
    }
    _back();
    for (;;) {
        token = _next();
        if (_isChar(token, '}'))
            return;
        if (token == TOK_EOF) {
            _error(KVO_CMSG_EOF_IN_BLOCK);
            return;
        }
        if (_isChar(token, '#')) {
            _doPreproc();
            continue;
        }
        _back();
        _codeStatement(ctx);
    }
}

void KvoCompiler::_codeStatement(KvoFuncContext& ctx)
{
    NestingGuard guard(*this);
    if (!guard.ok())
        return;
    KvoCodeEmitter& emitter = ctx.emitter();
    // The first token is read before the line record, so that the record names its line.
    KvoToken token = _next();
    if (m_generateLineInfo && token != TOK_EOF)
        _codeSourceInfo(ctx);
    switch (token) {
    case TOK_VAR:
        _codeVarDefinition(ctx);
        _fetchRequire(TOK_ANY, ';');
        return;
    case TOK_STATIC:
        _codeStaticVarDefinition(ctx);
        _fetchRequire(TOK_ANY, ';');
        return;
    case TOK_IF:
        _codeIf(ctx);
        return;
    case TOK_WHILE:
        _codeWhile(ctx);
        return;
    case TOK_DO:
        _codeDoWhile(ctx);
        return;
    case TOK_FOR:
        _codeFor(ctx);
        return;
    case TOK_SWITCH:
        _codeSwitch(ctx);
        return;
    case TOK_BREAK:
        _codeBreak(ctx);
        return;
    case TOK_CONTINUE:
        _codeContinue(ctx);
        return;
    case TOK_RETURN:
        _codeReturn(ctx);
        return;
    case TOK_TRY:
        _codeTry(ctx);
        return;
    case TOK_THROW:
        _codeThrow(ctx);
        return;
    case TOK_TRON:
    case TOK_TROFF:
    case TOK_TRSTEP:
        emitter.emit(token == TOK_TRON ? TRON : token == TOK_TROFF ? TROFF : TRSTEP);
        _fetchRequire(TOK_ANY, ';');
        return;
    default:
        break;
    }
    if (_isChar(token, '{')) {
        _codeBlock(ctx);
        return;
    }
    if (_isChar(token, ';'))
        return;
    // An expression statement; its value stays in the top slot.
    _back();
    _codeExpr(ctx);
    _fetchRequire(TOK_ANY, ';');
}

// condition -> "(" expression ")"
void KvoCompiler::_codeCondition(KvoFuncContext& ctx)
{
    _fetchRequire(TOK_ANY, '(');
    _codeExpr(ctx);
    _fetchRequire(TOK_ANY, ')');
}

// if -> "if" condition statement [ "else" statement ]
// An "else if" chain is compiled in this loop rather than by recursion, so that a long chain
// does not count against the nesting limit.
void KvoCompiler::_codeIf(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    std::uint32_t end = 0;
    for (;;) {
        _codeCondition(ctx);
        const std::uint32_t skip = emitter.emitForward(BRF, 0);
        _codeStatement(ctx);
        KvoToken token = _next();
        if (token != TOK_ELSE) {
            _back();
            emitter.patchChain(skip, emitter.offset());
            break;
        }
        end = emitter.emitForward(BR, end);
        emitter.patchChain(skip, emitter.offset());
        token = _next();
        if (token != TOK_IF) {
            _back();
            _codeStatement(ctx);
            break;
        }
        if (m_generateLineInfo)
            _codeSourceInfo(ctx);
    }
    emitter.patchChain(end, emitter.offset());
}

// while -> "while" condition statement
void KvoCompiler::_codeWhile(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    const std::uint32_t top = emitter.offset();
    _codeCondition(ctx);
    ctx.pushControl(KvoControlKind::LOOP, emitter.emitForward(BRF, 0), top);
    _codeStatement(ctx);
    const std::uint32_t exit = ctx.popControl();
    emitter.emitJump(BR, top);
    emitter.patchChain(exit, emitter.offset());
}

// do -> "do" statement "while" condition ";". continue restarts the body.
void KvoCompiler::_codeDoWhile(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    const std::uint32_t top = emitter.offset();
    ctx.pushControl(KvoControlKind::LOOP, 0, top);
    _codeStatement(ctx);
    const std::uint32_t exit = ctx.popControl();
    _fetchRequire(TOK_WHILE);
    _codeCondition(ctx);
    _fetchRequire(TOK_ANY, ';');
    emitter.emitJump(BRT, top);
    emitter.patchChain(exit, emitter.offset());
}

// for -> "for" "(" ( "var" definitions | expression ) ";" expression ";" expression ")" statement
// Layout: init; cond: condition BRT body, BR exit; incr: increment BR cond; body: statement BR incr.
void KvoCompiler::_codeFor(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _fetchRequire(TOK_ANY, '(');
    KvoToken token = _next();
    if (token == TOK_VAR) {
        _codeVarDefinition(ctx);
    } else {
        _back();
        _codeExpr(ctx);
    }
    _fetchRequire(TOK_ANY, ';');

    const std::uint32_t condition = emitter.offset();
    _codeExpr(ctx);
    const std::uint32_t body = emitter.emitForward(BRT, 0);
    const std::uint32_t exit = emitter.emitForward(BR, 0);
    _fetchRequire(TOK_ANY, ';');

    const std::uint32_t increment = emitter.offset();
    _codeExpr(ctx);
    _fetchRequire(TOK_ANY, ')');
    emitter.emitJump(BR, condition);

    emitter.patchChain(body, emitter.offset());
    ctx.pushControl(KvoControlKind::LOOP, exit, increment);
    _codeStatement(ctx);
    const std::uint32_t exitChain = ctx.popControl();
    emitter.emitJump(BR, increment);
    emitter.patchChain(exitChain, emitter.offset());
}

// switch -> "switch" condition "{" { "case" expression ":" | "default" ":" | statement } "}"
// The switch value stays in a slot below the working slot until the final POP. Each case label:
// POP DUP DUP value EQ BRF next-test. Statements fall through to the next case's statements (a BR
// over its test); a failed last test goes to the default statements, or to the end. Control
// enters at the first test: a default written before every case is jumped over on entry, so
// that a matching case runs without it and an unmatched value runs it once.
void KvoCompiler::_codeSwitch(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    _codeCondition(ctx);
    // Without its "{" the cases are read all the same, up to the "}" that ends them.
    _fetchRequire(TOK_ANY, '{');
    ctx.pushControl(KvoControlKind::SWITCH, emitter.emitForward(SWITCH, 0));
    emitter.emit(PUSH);

    std::uint32_t pendingTest = 0;    // chain of the last failed test, to the next test
    std::uint32_t fallThrough = 0;    // jump from the statements before a label over its test
    std::int64_t defaultOffset = -1;  // where the default statements begin
    std::uint32_t entry = 0;          // jump from the entry over a leading default to the first test
    bool labelSeen = false;
    for (;;) {
        KvoToken token = _next();
        if (_isChar(token, '}') || token == TOK_EOF)
            break;
        if (token == TOK_CASE) {
            // Statements before this label (after any earlier label, default included) fall
            // through to this case's statements, not into its test.
            if (labelSeen)
                fallThrough = emitter.emitForward(BR, fallThrough);
            if (pendingTest) {
                emitter.patchChain(pendingTest, emitter.offset());
                pendingTest = 0;
            }
            if (entry) {
                emitter.patchChain(entry, emitter.offset());
                entry = 0;
            }
            labelSeen = true;
            emitter.emit(POP);
            emitter.emit(DUP);
            emitter.emit(DUP);
            _codeExpr(ctx);
            _fetchRequire(TOK_ANY, ':');
            emitter.emit(EQ);
            pendingTest = emitter.emitForward(BRF, 0);
            if (fallThrough) {
                emitter.patchChain(fallThrough, emitter.offset());
                fallThrough = 0;
            }
        } else if (token == TOK_DEFAULT) {
            if (defaultOffset >= 0)
                _error(KVO_CMSG_MULTIPLE_DEFAULT);
            if (!labelSeen)
                entry = emitter.emitForward(BR, 0);
            labelSeen = true;
            _fetchRequire(TOK_ANY, ':');
            defaultOffset = emitter.offset();
        } else if (_isChar(token, '#')) {
            _doPreproc();
        } else {
            if (!labelSeen)
                _error(KVO_CMSG_CASE_EXPECTED);
            _back();
            _codeStatement(ctx);
        }
    }
    const std::uint32_t end = emitter.offset();
    emitter.patchChain(ctx.popControl(), end);
    const std::uint32_t noMatch = defaultOffset >= 0 ? static_cast<std::uint32_t>(defaultOffset) : end;
    emitter.patchChain(pendingTest, noMatch);
    emitter.patchChain(entry, noMatch); // a default without any case
    emitter.emit(POP);
}

// Emits what leaving the constructs above controls()[target] needs, innermost first: ENDTRY for
// a try block (its handler would otherwise stay installed), ENDCATCH for a catch block, and with
// popSwitches a POP for a switch (its value's slot).
void KvoCompiler::_codeLeave(KvoFuncContext& ctx, std::size_t target, bool popSwitches)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    auto& controls = ctx.controls();
    for (std::size_t i = controls.size(); i-- > target + 1;) {
        switch (controls[i].kind) {
        case KvoControlKind::TRY:
            emitter.emitJump(ENDTRY, emitter.offset() + 1 + KVO_ADDRESS_SIZE);
            break;
        case KvoControlKind::CATCH:
            emitter.emit(ENDCATCH);
            break;
        case KvoControlKind::SWITCH:
            if (popSwitches)
                emitter.emit(POP);
            break;
        case KvoControlKind::LOOP:
            break;
        }
    }
}

// break -> "break" ";": to the end of the innermost loop or switch.
void KvoCompiler::_codeBreak(KvoFuncContext& ctx)
{
    auto& controls = ctx.controls();
    std::size_t target = controls.size();
    while (target-- > 0) {
        if (controls[target].kind == KvoControlKind::LOOP || controls[target].kind == KvoControlKind::SWITCH)
            break;
    }
    if (target == static_cast<std::size_t>(-1)) {
        _error(KVO_CMSG_BREAK_OUTSIDE);
    } else {
        _codeLeave(ctx, target, false);
        controls[target].breakChain = ctx.emitter().emitForward(BR, controls[target].breakChain);
    }
    _fetchRequire(TOK_ANY, ';');
}

// continue -> "continue" ";": to the continue target of the innermost loop (through switches).
void KvoCompiler::_codeContinue(KvoFuncContext& ctx)
{
    auto& controls = ctx.controls();
    std::size_t target = controls.size();
    while (target-- > 0) {
        if (controls[target].kind == KvoControlKind::LOOP)
            break;
    }
    if (target == static_cast<std::size_t>(-1)) {
        _error(KVO_CMSG_CONTINUE_OUTSIDE);
    } else {
        _codeLeave(ctx, target, true);
        ctx.emitter().emitJump(BR, controls[target].continueTarget);
    }
    _fetchRequire(TOK_ANY, ';');
}

// return -> "return" expression ";"
void KvoCompiler::_codeReturn(KvoFuncContext& ctx)
{
    _codeExpr(ctx);
    _fetchRequire(TOK_ANY, ';');
    ctx.emitter().emit(RETURN);
}

// try -> "try" block "catch" "(" name ")" block
// Layout: TRY handler; block; ENDTRY after; handler: catch block; ENDCATCH; after:
void KvoCompiler::_codeTry(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    // Each token of the form is checked in turn; a missing one is reported and the rest of the
    // form is read all the same.
    const std::uint32_t handler = emitter.emitForward(TRY, 0);
    _fetchRequire(TOK_ANY, '{');
    ctx.pushControl(KvoControlKind::TRY);
    _codeBlock(ctx);
    ctx.popControl();
    const std::uint32_t after = emitter.emitForward(ENDTRY, 0);
    emitter.patchChain(handler, emitter.offset());

    // The catch variable is temporary 0, which the interpreter fills with the thrown value.
    _fetchRequire(TOK_CATCH);
    _fetchRequire(TOK_ANY, '(');
    if (_fetchRequire(TOK_IDENT))
        ctx.setCatchName(m_scanner->getTokenString());
    _fetchRequire(TOK_ANY, ')');
    _fetchRequire(TOK_ANY, '{');
    ctx.pushControl(KvoControlKind::CATCH);
    ++ctx.catchDepth;
    _codeBlock(ctx);
    --ctx.catchDepth;
    ctx.popControl();
    emitter.emit(ENDCATCH);
    emitter.patchChain(after, emitter.offset());
}

// throw -> "throw" expression ";" | "throw" ";" (inside a catch block: throw the caught value again)
void KvoCompiler::_codeThrow(KvoFuncContext& ctx)
{
    KvoCodeEmitter& emitter = ctx.emitter();
    KvoToken token = _next();
    if (ctx.catchDepth > 0 && _isChar(token, ';')) {
        emitter.emitIndexed(TREF, 0);
        emitter.emit(THROW);
        return;
    }
    _back();
    _codeExpr(ctx);
    emitter.emit(THROW);
    _fetchRequire(TOK_ANY, ';');
}
