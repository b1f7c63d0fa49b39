// KvoTraceback: taking and formatting the chain of active calls (see KvoTraceback.h).
#include "vm/KvoTraceback.h"

#include "platform/KvoText.h"
#include "values/KvoClass.h"
#include "vm/KvoProcInfo.h"

namespace {

KvoTraceback::Call describe(const KvoProcInfo& frame)
{
    KvoTraceback::Call call;
    if (const KvoClass* owner = frame.getClass()) {
        if (const KvoString* className = owner->getClassName()) {
            call.function.assign(className->c_str(), className->length());
            call.function += u"::";
        }
    }
    call.function += frame.getName();
    if (const KvoString* source = frame.getSourceName())
        call.source.assign(source->c_str(), source->length());
    call.line = frame.getLine();
    return call;
}

} // namespace

void KvoTraceback::recordIfNew(const KvoProcInfo* innermost)
{
    if (m_recorded && m_recordedRaise == m_raises)
        return;
    m_calls.clear();
    m_omitted = 0;
    m_recorded = true;
    m_recordedRaise = m_raises;
    // The innermost calls first; past the bound only the outermost few are kept besides them.
    std::vector<Call> outer;
    for (const KvoProcInfo* frame = innermost; frame; frame = frame->getParent()) {
        if (m_calls.size() < MAX_CALLS - OUTER_KEPT) {
            m_calls.push_back(describe(*frame));
        } else {
            outer.push_back(describe(*frame));
            if (outer.size() > OUTER_KEPT) {
                outer.erase(outer.begin());
                ++m_omitted;
            }
        }
    }
    m_calls.insert(m_calls.end(), outer.begin(), outer.end());
}

void KvoTraceback::clear() noexcept
{
    m_calls.clear();
    m_omitted = 0;
    m_recorded = false;
}

const KvoTraceback::Call* KvoTraceback::innermostPosition() const noexcept
{
    for (const Call& call : m_calls) {
        if (call.line >= 0)
            return &call;
    }
    return nullptr;
}

std::u16string KvoTraceback::format() const
{
    std::u16string text;
    const std::size_t innerCount = m_omitted ? MAX_CALLS - OUTER_KEPT : m_calls.size();
    for (std::size_t i = 0; i < m_calls.size(); ++i) {
        if (m_omitted && i == innerCount)
            text += u"  ... " + kvoFromUtf8(std::to_string(m_omitted).c_str()) + u" more calls\n";
        const Call& call = m_calls[i];
        text += u"  at " + call.function;
        if (call.line >= 0)
            text += u" (" + call.source + u":" + kvoFromUtf8(std::to_string(call.line).c_str()) + u")";
        text += u"\n";
    }
    return text;
}
