// The client object: an application's connection to a tank engine, under one
// or more named clients, with what later calls need: the names in use, the
// event buffer of the last read, the global settings, the store supplements
// of the selected block and the buffers for building events.
//
// Every method that reaches the engine follows one frame: it returns its
// failure value (0, "" or nothing) silently when there is no connection, or
// for a client-bound operation no client; text arguments become BSTRs for the
// call (a text that cannot throws ComError); the engine's 32-bit result is
// the method's; texts that come back are narrowed and freed; arrays come back
// into the event buffer, and pointers handed out into it stay valid until the
// next read through the same object. Errors are kept as text: GetError
// returns the engine's and this object's own.
//
// Not copyable: the object owns its engine reference, buffers, supplements
// and UDP sender, and a copy would have to share or duplicate all of them.
//
// Threads: an object is used from the thread that made it, one call at a
// time; its constructor initialises COM on that thread only, and its buffers
// and the pointers into them are unguarded. Objects on different threads are
// independent, the engine serialising their calls; ST keeps its texts per
// thread.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include <orvo/CPropertyCache.h>
#include <orvo/CStoreSupplement.h>
#include <orvo/CWaveFormCache.h>
#include <orvo/Export.h>
#include <orvo/platform/com.h>
#include <orvo/platform/cstring.h>
#include <orvo/platform/simple_array.h>
#include <orvo/platform/types.h>
#include <orvo/platform/variant.h>
#include <orvo/protocol/ITankEngine.h>
#include <orvo/protocol/SQHead.h>
#include <orvo/protocol/TimeRange.h>

// The support library's UDP sender, loaded on first use.
class CUDPSocket;

class ORVO_API OrvoCI {
public:
    OrvoCI();
    virtual ~OrvoCI();
    OrvoCI(const OrvoCI&) = delete;
    OrvoCI& operator=(const OrvoCI&) = delete;

    // Connection and errors.
    void ReleaseServer();
    CString GetError();
    CString GetDebug(CString name);
    void EnabTankDebug(CString name, int enable);

    // The server list, shared by every program of the machine. "Local" heads
    // it and is not stored.
    int AddServer(CString name, CString ip, CString user, CString domain, CString password);
    int RemoveServer(CString name);
    CString GetEnumServer(LONG index);
    CString GetServerItem(CString server, CString item);

    // Connecting and clients.
    LONG ConnectServer(CString server, CString client);
    LONG AddClient(CString client);
    int SwitchClient(LONG id);
    int SwitchClient(CString client);
    void DeleteClient(LONG id);
    void DeleteClient(CString client);
    LONG GetClientID(CString client);

    // Tanks. RemoveInvalidTanks tidies the registered tank list without the
    // engine.
    int AddTank(CString name, CString path);
    int RemoveTank(CString name);
    CString GetEnumTank(LONG index);
    CString GetTankItem(CString tank, CString item);
    int ResetTank(CString name);
    LONG CheckTank(CString name);
    int InitializeTank(CString name);
    int OpenTank(CString name, LONG mode);
    void CloseTank();
    LONG GetStatus(LONG code);
    static int RemoveInvalidTanks();

    // Blocks and recording.
    int SelectBlock(CString name);
    int GetBlockInfo(CString* text1, CString* text2, CString* text3, double* startTime,
                     double* stopTime, CString* notes);
    int SetBlockInfo(CString text1, LONG number, CString text2);
    int QueryBlockName(LONG index, CString* name);
    CString GetHotBlock();
    int StartRecord(CString name);
    int StartRecordEx(CString name, const CStringArray& items);
    void StopRecord();
    int SetOSTime(double time);
    int RemoveEvents(CString name, double t1, double t2);
    int RemoveBlock(CString name);
    // The supplements of the selected block; valid for the object's life,
    // refilled by each accepted SelectBlock.
    const CSimpleArray<CStoreSupplement*>* GetBlockSupplement() const;

    // Events. Reads land in the event buffer, which the engine fills with
    // rows of one record each padded to a common width; a buffer of any other
    // shape reads as empty, so no row is ever taken from outside the array.
    // GetEvents answers the row count, 0 for none, or the engine's
    // ITankEngine::kCountFailed when the read failed (GetError tells why).
    LONG GetEvents(LONG** ppData, LONG maxEvents, LONG code, LONG channel, LONG sortCode,
                   double startTime, double endTime, LONG options);
    LONG GetEventCodes(LONG** ppCodes, LONG evType);
    LONG* GetEvPtr(LONG index, LONG* pDataWords);
    // record must hold a whole header; only the header is read.
    double ParseEvHeaderInfo(LONG* record, LONG item);
    double ParseEvHeaderInfo(LONG index, LONG item);
    static LONG GetNPer(LONG dataFormat);
    static LONG GetNpts(LONG* record);
    int GetCodeSpecs(LONG code, LONG* pType, LONG* pNpts, double* pTime, LONG* pDataFormat,
                     float* pSampleFreq);
    int GetCodeSpecsLazy(LONG code, LONG* pType, LONG* pNpts, double* pTime, LONG* pDataFormat,
                         float* pSampleFreq);
    static CString CodeToString(LONG code);
    static CString EvTypeToString(LONG type);
    static CString DFormToString(LONG dataFormat);
    // pVariant must hold nothing that needs releasing: it is overwritten.
    static int MakeVariant(VARIANT* pVariant, LONG vt, LONG count1, LONG count2);
    static int MakeVariantWithDFrom(VARIANT* pVariant, LONG dataFormat, LONG count1, LONG count2);
    void FillEvNqaIdx(VARIANT* pVariant);

    // Taking records of the event buffer apart. ParseEv converts a record's
    // data to floats; on entry *pNpts is the room in pData. It answers
    // index + 1, 0 past the end and -1 on failure, so results chain.
    LONG ParseEv(LONG index, double* pTime, LONG* pChannel, LONG* pSortCode, float* pData,
                 LONG* pNpts);
    // The arrays need room for one entry per buffered record.
    LONG ParseEpocs(double* pTimes, double* pValues, LONG ignored, LONG code, LONG* pCodes);

    // Epocs and valid time ranges. GetEpocsEx and the valid-range reads also
    // keep the ranges they receive for the range-wise waveform reads.
    LONG GetEpocCodes(LONG** ppCodes);
    LONG GetEpocs(double** ppData, LONG code, double startTime, double endTime, LONG arg5);
    LONG GetEpocsEx(double** ppData, LONG code, LONG arg3, LONG arg4);
    LONG QryEpocAt(LONG code, double time, LONG item, double* pValue);
    // pValues receives four doubles.
    LONG QryEpocAtEx(LONG code, double time, double* pValues, int respectOffset);
    LONG QryEpocAtIdx(LONG code, LONG index, LONG item, double* pValue);
    LONG GetValidTimeRanges(double** ppData, LONG maxRanges);
    // The ranges kept by the last successful GetEpocsEx or valid-range read,
    // missing epoc offsets resolved.
    const std::vector<TimeRange>& ValidRanges() const { return m_validRanges; }

    // Building records in the build buffer and saving them. Builders take a
    // word position and answer the position after what they wrote, or -1.
    void SetBuildHead(const char* code, LONG dataFormat, float sampleFreq, LONG nWords);
    int CheckBEV(LONG needed);
    LONG BuildScalarEv(LONG pos, const char* code, LONG channel, double time, double value);
    LONG BuildStrobeEv(LONG pos, const char* code, double time, double value, const char* code2);
    // pData: a float time, the data words, a sort code.
    LONG BuildSnipEv(LONG pos, LONG channel, double time, const LONG* pData, int withSort);
    LONG BuildStreamEv(LONG pos, LONG channel, double time, const LONG* pData, LONG options);
    // pData holds the samples interleaved, channel by channel.
    LONG BuildStreamEvMC(LONG pos, LONG firstChannel, LONG nChannels, double time,
                         const LONG* pData, LONG options);
    // Sends nRecords records of the first record's width; null pRecords
    // sends the build buffer.
    LONG SaveEvents(const LONG* pRecords, LONG nRecords);

    // Filter state kept by the engine for the current client.
    void ResetFilters();
    LONG SetFilterEx(LONG code, LONG op, double value1, double value2, LONG extra1, LONG extra2);
    LONG SetFilter(LONG code, LONG op, double value1, double value2);
    LONG SetFilterWithDesc(CString desc);
    int SetFilterWithDescEx(CString desc, LONG respectOffset);
    int SetFilterWithDimension(LONG dim1, LONG dim2, CString desc, bool flag, LONG respectOffset);
    int SetEpocTimeFilter(LONG code, double startTime, double endTime, int respectOffset);
    int SetTimeRefEpoc(LONG code);
    int SetFilterTolerance(double tolerance);
    double GetFilterTolerance();
    int SetCacheDelay(double delay);
    double GetCacheDelay();
    int CreateEpocIndexing();
    void ClearEpocIndexing();
    int IndexEvent(LONG arg1, LONG arg2, LONG arg3);

    // Sort codes. These engine operations answer 0 for success, so these
    // methods return true exactly then.
    void SetUseSortName(CString sortName);
    LONG GetSortNameList(CString code, CStringArray* names);
    // matrix is allocated with new[] for size*size doubles; the caller
    // releases it with delete[].
    bool GetEigenVector(LONG code, LONG channel, LONG& size, double** matrix);
    bool GetSortCondition(CString code, LONG channel, CString sortName, LONG kind,
                          BSTR* condition);
    bool DeleteSortCode(CString code, LONG channel, CString sortName);
    bool SaveEigenVector(LONG code, LONG channel, LONG size, const double* matrix);
    bool SaveSortCode(LONG code, LONG channel, CString sortName, const LONG* events, LONG count,
                      const BYTE* memo, LONG memoLength);
    bool GetSortChanMap(CString code, CString sortName, LONG option, BSTR* map);
    bool SetRecordOption(double value, LONG option, const BYTE* data, LONG length);
    void GetSortMapInVariant(CString sortName, CString code, VARIANT* result);
    CString GetSortMemo(const char* sortName, const char* code, LONG channel);
    bool SaveSortCodeInVariant(CString sortName, CString code, LONG channel, CString memo,
                               const VARIANT& data);

    // Global settings, by number 1 to 13.
    LONG SetGlobal(LONG index, double value);
    double GetGlobal(LONG index);
    void ResetGlobals();

    // Waveforms over the window and filters of the settings: one row per
    // channel, or per valid time range of one channel. A read of the engine
    // that fails on the way fails them with ITankEngine::kCountFailed, the
    // engine's text left for GetError; failures of their own answer 0.
    LONG GetWaves(LONG code, VARIANT* pWaves);
    LONG GetWavesOnTimeRange(LONG code, LONG channel, VARIANT* pWaves);
    LONG GetEventsSimple(LONG code);

    // Time text: an elapsed time (below 30000000 s) or a calendar time by the
    // format letters H M S U D O W Y. The text stays intact for the next
    // three calls on the same thread and is overwritten by the fourth.
    static char* ST(double time, const char* format);

    // Filter descriptions such as "Freq = 1000:2000{0,0}".
    static int ParseFilterDescEx(CString desc, LONG* pCode, LONG* pOperator, double* pValue1,
                                 double* pValue2, LONG* pExtra1, LONG* pExtra2);
    static int ParseFilterDesc(CString desc, LONG* pCode, LONG* pOperator, double* pValue1,
                               double* pValue2);
    static CString BuildFilterDescEx(LONG code, LONG op, double value1, double value2, LONG extra1,
                                     LONG extra2);
    static CString BuildFilterDesc(LONG code, LONG op, double value1, double value2);

    // Data-path descriptors: "[SERVERNAME]...[TANKNAME]...[BLOCKNAME]...
    // [EVENTNAME]...[CHANNELNAME(]1,2[)CHANNELNAME]". A server, tank or block
    // of "?" stands for the one in use; channels end with 0.
    CString ToDPX(CString server, CString tank, CString block, CString event, const LONG* channels);
    CString FromDPX(CString descriptor, CString item);

private:
    static constexpr int kClientSlots = 1000;  // ids 1 to 999; slot 0 unused
    static constexpr int kServerSlots = 100;

    // Appends one "Local Error" block to m_localError; returns 0.
    LONG RCE(CString call, CString message, CString badArg);
    void ClearSupplementArray();
    // True when id names a registered client.
    bool IsRegistered(LONG id) const;
    // The guard of client-bound operations: a connection and a current client.
    bool HasClient() const { return m_engine && m_clientId != 0; }
    LONG _GetValidTimeRanges(double** ppData, double startTime, double endTime, LONG maxRanges);
    LONG _GetWaves(CWaveFormCache& cache, LONG** ppData, LONG code, LONG channel, LONG sortCode,
                   double startTime, double endTime, LONG fillItem, double fillValue,
                   double refRate, bool useValidRanges);
    LONG _GetWavesOnTimeRange(CWaveFormCache& cache, LONG code, LONG channel, LONG sortCode,
                              const std::vector<TimeRange>& ranges, LONG fillItem,
                              double fillValue, double refRate);
    bool SaveToWaveCache(CWaveFormCache& cache, LONG fillItem, double fillValue);
    // None when reading a store's rate failed.
    std::optional<double> PullRefFreq(LONG code, LONG rateCode, double rate);

    std::array<std::unique_ptr<CString>, kClientSlots> m_clientNames;
    std::array<std::unique_ptr<CString>, kServerSlots> m_serverNames;
    CString m_localError;
    CString m_serverName;
    CString m_tankName;
    CString m_blockName;
    std::unique_ptr<LONG[]> m_codeBuffer;
    LONG m_codeBufferSize = 0;
    CPropertyCache m_globals;
    std::vector<TimeRange> m_validRanges;
    std::unique_ptr<CUDPSocket> m_notifier;
    CSimpleArray<CStoreSupplement*> m_supplements;
    std::unique_ptr<LONG[]> m_buildBuffer;
    LONG m_buildBufferSize = 0;
    SQHead m_buildHead{};
    Variant m_events;
    ComPtr<ITankEngine> m_engine;
    LONG m_clientId = 0;
};
