// The engine on another machine, slot by slot: each call crosses the link,
// and a call that cannot (the connection lost, no answer in time, a message
// refused) answers its method's failure, with a text that the next GetError
// of this engine on the same thread reports before the server's own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <orvo/protocol/ITankEngine.h>

#include "remote/Link.h"

namespace orvo::remote {

// The most an answer's array may hold for the client to make it.
struct AnswerLimit {
    std::uint64_t maxBytes;
    // Of the array's first dimension, the rows of a read.
    std::uint32_t maxRows = UINT32_MAX;
};

class RemoteEngine final : public ComObject<ITankEngine> {
public:
    RemoteEngine(std::unique_ptr<Link> link, std::uint64_t maxAnswerBytes)
        : m_link(std::move(link)), m_maxAnswerBytes(maxAnswerBytes)
    {
    }

    LONG AddClient(BSTR name) override;
    LONG AddTank(BSTR name, BSTR path) override;
    LONG CloseTank(LONG clientId) override;
    LONG DeleteClient(LONG clientId) override;
    LONG RemoveTank(BSTR name) override;
    LONG GetBlockInfo(LONG clientId, BSTR* text1, BSTR* text2, BSTR* text3, DOUBLE* startTime, DOUBLE* stopTime,
                      BSTR* notes) override;
    LONG GetError(LONG clientId, BSTR* text) override;
    LONG ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code, LONG channel, LONG sortCode,
                    DOUBLE startTime, DOUBLE endTime, LONG options) override;
    LONG GetStatus(LONG clientId, LONG code) override;
    LONG InitializeTank(BSTR name) override;
    LONG OpenTank(LONG clientId, BSTR name, LONG mode) override;
    LONG SaveEvents(LONG clientId, VARIANT* records) override;
    LONG SelectBlock(LONG clientId, BSTR name) override;
    LONG Reserved16() override { return 0; }
    LONG StartRecord(LONG clientId, BSTR name) override;
    LONG StopRecord(LONG clientId) override;
    LONG Reserved19() override { return 0; }
    LONG SetOSTime(LONG clientId, DOUBLE time) override;
    LONG QueryBlockName(LONG clientId, LONG index, BSTR* name) override;
    LONG GetEventCodes(LONG clientId, VARIANT* codes, LONG eventType) override;
    LONG ResetTank(BSTR name) override;
    LONG CheckTank(BSTR name) override;
    LONG GetEnumTank(LONG index, BSTR* name) override;
    LONG GetDebug(BSTR name, BSTR* text) override;
    LONG EnabTankDebug(BSTR name, LONG enable) override;
    LONG GetTankItem(BSTR tank, BSTR item, BSTR* text) override;
    LONG Reserved29() override { return 0; }
    LONG GetHotBlock(LONG clientId, BSTR* name) override;
    LONG Reserved31() override { return 0; }
    LONG GetEpocCodes(LONG clientId, VARIANT* codes) override;
    LONG GetEpocs(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime, LONG option) override;
    LONG ResetFilters(LONG clientId, LONG arg1, LONG arg2, DOUBLE arg3, DOUBLE arg4) override;
    LONG Reserved35() override { return 0; }
    LONG CreateEpocIndexing(LONG clientId) override;
    LONG ClearEpocIndexing(LONG clientId) override;
    LONG IndexEvent(LONG clientId, LONG arg1, LONG arg2, LONG arg3) override;
    LONG SetBlockInfo(LONG clientId, BSTR text1, LONG number, BSTR text2) override;
    LONG QryEpocAtIdx(LONG clientId, LONG code, LONG index, LONG item, DOUBLE* value) override;
    LONG GetFilterTolerance(LONG clientId, DOUBLE* tolerance) override;
    LONG SetFilterTolerance(LONG clientId, DOUBLE tolerance) override;
    LONG SetFilterEx(LONG clientId, LONG code, LONG op, DOUBLE value1, DOUBLE value2, LONG extra1,
                     LONG extra2) override;
    LONG GetCacheDelay(LONG clientId, DOUBLE* delay) override;
    LONG SetCacheDelay(LONG clientId, DOUBLE delay) override;
    LONG SetFilterWithDescEx(LONG clientId, BSTR description, LONG respectOffset) override;
    LONG SetFilterWithDimension(LONG clientId, LONG dim1, LONG dim2, BSTR description, LONG flag,
                                LONG respectOffset) override;
    LONG SetEpocTimeFilter(LONG clientId, LONG code, DOUBLE startTime, DOUBLE endTime, LONG ignoreOffset) override;
    LONG SetTimeRefEpoc(LONG clientId, LONG code, LONG enable) override;
    LONG GetEpocsEx(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime, DOUBLE endTime, LONG arg3,
                    LONG arg4) override;
    LONG GetValidTimeRanges(LONG clientId, VARIANT* ranges, DOUBLE startTime, DOUBLE endTime,
                            LONG maxRanges) override;
    LONG QryEpocAtEx(LONG clientId, VARIANT* values, LONG code, DOUBLE time, LONG respectOffset) override;
    LONG StartRecordEx(LONG clientId, BSTR name, BSTR supplements) override;
    LONG SetUseSortName(LONG clientId, BSTR sortName, LONG option) override;
    LONG SaveSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, VARIANT* pairs, BSTR memo,
                      LONG kind) override;
    LONG GetSortNameList(LONG clientId, LONG code, LONG arg1, LONG arg2, VARIANT* names) override;
    LONG GetSortCondition(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG kind,
                          BSTR* condition) override;
    LONG DeleteSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName, LONG option) override;
    LONG GetSortChanMap(LONG clientId, LONG code, BSTR sortName, LONG option, BSTR* map) override;
    LONG SetRecordOption(LONG clientId, DOUBLE value, LONG option, BSTR data) override;

private:
    template <class... Args>
    LONG Call(kj::StringPtr method, Args... args);
    template <class... Args>
    LONG CallWithin(const AnswerLimit& limit, kj::StringPtr method, Args... args);
    // The calling thread's failure on the way, kept until its GetError.
    void KeepFailure(std::string text);
    std::string TakeFailure();

    std::unique_ptr<Link> m_link;
    const std::uint64_t m_maxAnswerBytes;
    std::mutex m_failuresMutex;
    std::map<std::thread::id, std::string> m_failures;
};

}  // namespace orvo::remote
