// The tank engine's server interface. Its layout is a binary contract with
// engines in other modules and, through the network transport, on other
// machines: the methods stay in this order, and the reserved slots keep their
// places though nothing calls them.
//
// Every operation answers a 32-bit result. The sort-code operations
// (SaveSortCode, GetSortCondition, DeleteSortCode, GetSortChanMap,
// SetRecordOption) answer 0 for success; all others answer nonzero for
// success. The reads that answer a count (ReadEvents, GetEventCodes,
// GetEpocCodes, GetEpocs, GetEpocsEx, QryEpocAtEx, GetValidTimeRanges,
// GetSortNameList) answer 0 for "nothing" and kCountFailed for a failure, so
// that a read that failed never passes for an empty one; GetError tells why.
// Client-bound operations take the client id first. Texts travel as
// BSTRs: the caller owns those it passes in, and takes over any that come
// back through a BSTR*, which start null. Arrays travel in VARIANTs holding
// SAFEARRAYs; a VARIANT* out argument is cleared by the caller beforehand.
#pragma once

#include <orvo/platform/com.h>
#include <orvo/platform/variant.h>

struct ITankEngine : IUnknown {
    // {6F52564F-0002-4E47-9A3C-54414E4B454E}
    static constexpr IID iid = {
        0x6F52564F, 0x0002, 0x4E47, {0x9A, 0x3C, 0x54, 0x41, 0x4E, 0x4B, 0x45, 0x4E}};

    static constexpr LONG kCountFailed = -1;

    // Clients: AddClient answers the new id (1 to 999), or 0 or below.
    virtual LONG AddClient(BSTR name) = 0;                                            // 3
    virtual LONG AddTank(BSTR name, BSTR path) = 0;                                   // 4
    virtual LONG CloseTank(LONG clientId) = 0;                                        // 5
    virtual LONG DeleteClient(LONG clientId) = 0;                                     // 6
    virtual LONG RemoveTank(BSTR name) = 0;                                           // 7
    virtual LONG GetBlockInfo(LONG clientId, BSTR* text1, BSTR* text2, BSTR* text3,
                              DOUBLE* startTime, DOUBLE* stopTime, BSTR* notes) = 0;  // 8
    virtual LONG GetError(LONG clientId, BSTR* text) = 0;                             // 9
    // Answers the number of rows read into events: 0 when none lie in the
    // window, kCountFailed when the read failed (a record whose data fail
    // their checksum, or a window reaching the damage of a damaged block).
    virtual LONG ReadEvents(LONG clientId, VARIANT* events, LONG maxEvents, LONG code,
                            LONG channel, LONG sortCode, DOUBLE startTime, DOUBLE endTime,
                            LONG options) = 0;                                        // 10
    virtual LONG GetStatus(LONG clientId, LONG code) = 0;                             // 11
    virtual LONG InitializeTank(BSTR name) = 0;                                       // 12
    virtual LONG OpenTank(LONG clientId, BSTR name, LONG mode) = 0;                   // 13
    virtual LONG SaveEvents(LONG clientId, VARIANT* records) = 0;                     // 14
    virtual LONG SelectBlock(LONG clientId, BSTR name) = 0;                           // 15
    virtual LONG Reserved16() = 0;                                                    // 16
    virtual LONG StartRecord(LONG clientId, BSTR name) = 0;                           // 17
    virtual LONG StopRecord(LONG clientId) = 0;                                       // 18
    virtual LONG Reserved19() = 0;                                                    // 19
    virtual LONG SetOSTime(LONG clientId, DOUBLE time) = 0;                           // 20
    virtual LONG QueryBlockName(LONG clientId, LONG index, BSTR* name) = 0;           // 21
    virtual LONG GetEventCodes(LONG clientId, VARIANT* codes, LONG eventType) = 0;    // 22
    virtual LONG ResetTank(BSTR name) = 0;                                            // 23
    virtual LONG CheckTank(BSTR name) = 0;                                            // 24
    virtual LONG GetEnumTank(LONG index, BSTR* name) = 0;                             // 25
    virtual LONG GetDebug(BSTR name, BSTR* text) = 0;                                 // 26
    virtual LONG EnabTankDebug(BSTR name, LONG enable) = 0;                           // 27
    virtual LONG GetTankItem(BSTR tank, BSTR item, BSTR* text) = 0;                   // 28
    virtual LONG Reserved29() = 0;                                                    // 29
    virtual LONG GetHotBlock(LONG clientId, BSTR* name) = 0;                          // 30
    virtual LONG Reserved31() = 0;                                                    // 31
    virtual LONG GetEpocCodes(LONG clientId, VARIANT* codes) = 0;                     // 32
    virtual LONG GetEpocs(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime,
                          DOUBLE endTime, LONG option) = 0;                           // 33
    virtual LONG ResetFilters(LONG clientId, LONG arg1, LONG arg2, DOUBLE arg3,
                              DOUBLE arg4) = 0;                                       // 34
    virtual LONG Reserved35() = 0;                                                    // 35
    virtual LONG CreateEpocIndexing(LONG clientId) = 0;                               // 36
    virtual LONG ClearEpocIndexing(LONG clientId) = 0;                                // 37
    virtual LONG IndexEvent(LONG clientId, LONG arg1, LONG arg2, LONG arg3) = 0;      // 38
    virtual LONG SetBlockInfo(LONG clientId, BSTR text1, LONG number, BSTR text2) = 0;  // 39
    // Writes the answer through value itself.
    virtual LONG QryEpocAtIdx(LONG clientId, LONG code, LONG index, LONG item,
                              DOUBLE* value) = 0;                                     // 40
    virtual LONG GetFilterTolerance(LONG clientId, DOUBLE* tolerance) = 0;            // 41
    virtual LONG SetFilterTolerance(LONG clientId, DOUBLE tolerance) = 0;             // 42
    virtual LONG SetFilterEx(LONG clientId, LONG code, LONG op, DOUBLE value1,
                             DOUBLE value2, LONG extra1, LONG extra2) = 0;            // 43
    virtual LONG GetCacheDelay(LONG clientId, DOUBLE* delay) = 0;                     // 44
    virtual LONG SetCacheDelay(LONG clientId, DOUBLE delay) = 0;                      // 45
    virtual LONG SetFilterWithDescEx(LONG clientId, BSTR description,
                                     LONG respectOffset) = 0;                         // 46
    virtual LONG SetFilterWithDimension(LONG clientId, LONG dim1, LONG dim2,
                                        BSTR description, LONG flag,
                                        LONG respectOffset) = 0;                      // 47
    virtual LONG SetEpocTimeFilter(LONG clientId, LONG code, DOUBLE startTime,
                                   DOUBLE endTime, LONG ignoreOffset) = 0;            // 48
    virtual LONG SetTimeRefEpoc(LONG clientId, LONG code, LONG enable) = 0;           // 49
    virtual LONG GetEpocsEx(LONG clientId, VARIANT* epocs, LONG code, DOUBLE startTime,
                            DOUBLE endTime, LONG arg3, LONG arg4) = 0;                // 50
    virtual LONG GetValidTimeRanges(LONG clientId, VARIANT* ranges, DOUBLE startTime,
                                    DOUBLE endTime, LONG maxRanges) = 0;              // 51
    virtual LONG QryEpocAtEx(LONG clientId, VARIANT* values, LONG code, DOUBLE time,
                             LONG respectOffset) = 0;                                 // 52
    virtual LONG StartRecordEx(LONG clientId, BSTR name, BSTR supplements) = 0;       // 53
    virtual LONG SetUseSortName(LONG clientId, BSTR sortName, LONG option) = 0;       // 54
    virtual LONG SaveSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName,
                              VARIANT* pairs, BSTR memo, LONG kind) = 0;              // 55
    virtual LONG GetSortNameList(LONG clientId, LONG code, LONG arg1, LONG arg2,
                                 VARIANT* names) = 0;                                 // 56
    virtual LONG GetSortCondition(LONG clientId, LONG code, LONG channel, BSTR sortName,
                                  LONG kind, BSTR* condition) = 0;                    // 57
    virtual LONG DeleteSortCode(LONG clientId, LONG code, LONG channel, BSTR sortName,
                                LONG option) = 0;                                     // 58
    virtual LONG GetSortChanMap(LONG clientId, LONG code, BSTR sortName, LONG option,
                                BSTR* map) = 0;                                       // 59
    virtual LONG SetRecordOption(LONG clientId, DOUBLE value, LONG option, BSTR data) = 0;  // 60

protected:
    ~ITankEngine() = default;
};
