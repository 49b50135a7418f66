// Blocks of the open tank and recordings into it, and the store supplements
// that the selected block's notes carry.
#include <orvo/OrvoCI.h>
#include "client/core/CallFrame.h"
#include "client/tanks/SupplementList.h"

#include <new>
#include <string>

namespace {

constexpr char kItemEnd[] = "[STOREHDRITEM]";

CString Narrow(const BStr& text) { return CString(BstrToAnsi(text.get())); }

}  // namespace

int OrvoCI::SelectBlock(CString name)
{
    // Read notices and descriptors name the block asked for, even one the
    // engine refused.
    m_blockName = name;
    if (!HasClient()) {
        return 0;
    }
    if (m_engine->SelectBlock(m_clientId, BStr(name).get()) == 0) {
        return 0;
    }
    ClearSupplementArray();
    BStr text1;
    BStr text2;
    BStr text3;
    BStr notes;
    double startTime = 0.0;
    double stopTime = 0.0;
    // A block whose information cannot be read is still selected; it just
    // has no supplements, and event-code queries go to the engine.
    if (m_engine->GetBlockInfo(m_clientId, text1.out(), text2.out(), text3.out(), &startTime,
                               &stopTime, notes.out()) == 0) {
        return 1;
    }
    // Notes are whatever the block's file holds: too many items, or too
    // little memory for them, fail the selection with no supplements, where
    // half a list would pass for the block's stores.
    try {
        if (orvo::AppendSupplementsFromNotes(Narrow(notes), m_supplements) < 0) {
            return RCE("SelectBlock",
                       "The block's notes hold more than " + CString(std::to_string(orvo::kMaxBlockSupplements)) +
                           " store supplements",
                       name);
        }
    } catch (const std::bad_alloc&) {
        ClearSupplementArray();
        return RCE("SelectBlock", "Out of memory reading the block's store supplements", name);
    }
    return 1;
}

int OrvoCI::GetBlockInfo(CString* text1, CString* text2, CString* text3, double* startTime,
                         double* stopTime, CString* notes)
{
    if (!HasClient()) {
        return 0;
    }
    BStr texts[4];
    double times[2] = {0.0, 0.0};
    // The engine always gets somewhere to write, whichever items the caller
    // wants.
    if (m_engine->GetBlockInfo(m_clientId, texts[0].out(), texts[1].out(), texts[2].out(),
                               &times[0], &times[1], texts[3].out()) == 0) {
        return 0;
    }
    CString* const targets[4] = {text1, text2, text3, notes};
    for (int i = 0; i < 4; ++i) {
        if (targets[i] != nullptr) {
            *targets[i] = Narrow(texts[i]);
        }
    }
    if (startTime != nullptr) {
        *startTime = times[0];
    }
    if (stopTime != nullptr) {
        *stopTime = times[1];
    }
    return 1;
}

int OrvoCI::SetBlockInfo(CString text1, LONG number, CString text2)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->SetBlockInfo(m_clientId, BStr(text1).get(), number, BStr(text2).get());
}

int OrvoCI::QueryBlockName(LONG index, CString* name)
{
    if (!HasClient()) {
        return 0;
    }
    BStr text;
    if (m_engine->QueryBlockName(m_clientId, index, text.out()) == 0) {
        return 0;
    }
    if (name != nullptr) {
        *name = Narrow(text);
    }
    return 1;
}

CString OrvoCI::GetHotBlock()
{
    if (!HasClient()) {
        return CString();
    }
    BStr text;
    return orvo::TextResult(m_engine->GetHotBlock(m_clientId, text.out()), text);
}

int OrvoCI::StartRecord(CString name)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->StartRecord(m_clientId, BStr(name).get());
}

int OrvoCI::StartRecordEx(CString name, const CStringArray& items)
{
    if (items.GetSize() == 0) {
        return StartRecord(name);
    }
    if (!HasClient()) {
        return 0;
    }
    // Each item ends with the marker, the last one too, as block notes
    // carry them back (AppendSupplementsFromNotes).
    CString list;
    for (int i = 0; i < items.GetSize(); ++i) {
        list += items[i];
        list += kItemEnd;
    }
    return m_engine->StartRecordEx(m_clientId, BStr(name).get(), BStr(list).get());
}

void OrvoCI::StopRecord()
{
    if (HasClient()) {
        m_engine->StopRecord(m_clientId);
    }
}

int OrvoCI::SetOSTime(double time)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->SetOSTime(m_clientId, time);
}

int OrvoCI::RemoveEvents(CString /*name*/, double /*t1*/, double /*t2*/)
{
    m_localError = "RemoveEvents is not supported in current OrvoEng release.";
    return 0;
}

int OrvoCI::RemoveBlock(CString /*name*/)
{
    m_localError =
        "RemoveBlock is not supported in current OrvoEng release. Using windows explorer to "
        "remove block for new Data Tank format";
    return 0;
}

const CSimpleArray<CStoreSupplement*>* OrvoCI::GetBlockSupplement() const
{
    return &m_supplements;
}
