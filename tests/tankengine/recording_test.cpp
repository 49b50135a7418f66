// Recording and reading through the client as applications do: records and
// block information round trip, killed recordings keep whole batches, a second
// process follows a live block, and bad batches are refused whole.
#include "tests/tankengine/tank_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "protocol/StoreCode.h"

namespace orvo::test {
namespace {

using ::testing::HasSubstr;
using Row = std::vector<float>;
using RecordingTest = TankTest;
using RecordingOnEitherEngine = OnEitherEngine<TankTest>;

constexpr std::int32_t kSnipType = 0x8201;
constexpr std::int32_t kScalarType = 0x0201;
constexpr std::int32_t kStrobeOnType = 0x0101;
constexpr std::int32_t kStrobeOffType = 0x0102;
constexpr LONG kSnipWords = 30;

SQHead Head(std::int32_t type, const char* code, LONG codeWord, double time, std::uint8_t format, float rate,
            double value = 0)
{
    return {0, type, PackStoreCode(code), static_cast<std::uint16_t>(codeWord & 0xFFFF),
            static_cast<std::int16_t>(static_cast<std::uint32_t>(codeWord) >> 16), time, value, format, 0, 0, 0, rate};
}

// The first `batches` Float stream batches of store Wav1.
Records WavBatches(std::int64_t batches) { return StreamBatches("Wav1", kFloatFormat, batches); }

// What ParseEv must give: a record's value without data, else its samples.
Row Values(const Record& record)
{
    const SQHead head = HeadOf(record);
    if ((head.type & kArrayEventFlag) == 0) {
        return {static_cast<float>(head.value)};
    }
    Row out;
    for (auto word = record.begin() + kHeaderWords; word != record.end(); ++word) {
        if (head.dataFormat == kShortFormat) {
            out.push_back(static_cast<std::int16_t>(*word & 0xFFFF));
            out.push_back(static_cast<std::int16_t>(static_cast<std::uint32_t>(*word) >> 16));
        } else {
            out.push_back(std::bit_cast<float>(*word));
        }
    }
    return out;
}

// A pipe whose ends close with the object, and fixed-size messages over it.
struct Pipe {
    Pipe() { EXPECT_EQ(::pipe(fd), 0); }
    ~Pipe() { Close(0), Close(1); }
    void Close(int end) { if (fd[end] >= 0) ::close(fd[end]); fd[end] = -1; }
    int fd[2] = {-1, -1};
};

template <class T>
bool Send(int fd, const T& value) { return ::write(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value); }

template <class T>
bool Receive(int fd, T& value) { return ::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value); }

// Saves records as an application builds them, keeping those acknowledged.
struct Recorder {
    explicit Recorder(OrvoCI& recorder) : client(recorder) {}
    bool Keep(LONG result, const Records& records)
    {
        if (result <= 0) return false;
        saved.insert(saved.end(), records.begin(), records.end());
        return true;
    }
    bool Stream(const char* code, LONG format, std::int64_t record)
    {
        return Keep(SaveStreamRecord(client, code, format, record), StreamRecords(code, format, record));
    }
    // Snippets on varying channels and sort codes within stream record r.
    bool Snippets(std::int64_t r, int count)
    {
        client.SetBuildHead("Snip", kFloatFormat, static_cast<float>(kRate), kSnipWords);
        Records records;
        LONG pos = 0;
        for (int s = 0; s < count; ++s) {
            const double time = RecordTime(r) + (s + 1) * 1e-3;
            const LONG channel = (s * 5) % kChannels + 1;
            const LONG sortCode = s % 3 + 1;
            std::vector<std::int32_t> words(kSnipWords + 2);
            words[0] = std::bit_cast<std::int32_t>(static_cast<float>(time));
            for (LONG j = 1; j <= kSnipWords; ++j) {
                words[static_cast<std::size_t>(j)] =
                    std::bit_cast<std::int32_t>(FloatSample(r * 1000 + s * 50 + j, channel));
            }
            words[kSnipWords + 1] = sortCode;
            pos = client.BuildSnipEv(pos, channel, time, words.data(), 1);
            records.push_back(MakeRecord(Head(kSnipType, "Snip", sortCode << 16 | channel, time, kFloatFormat,
                                              static_cast<float>(kRate)),
                                         {words.begin() + 1, words.end() - 1}));
        }
        return pos > 0 && Keep(client.SaveEvents(nullptr, count), records);
    }
    // Scalars and strobes of both kinds in one batch, between the snippets.
    bool Events(std::int64_t r)
    {
        Records records;
        LONG pos = 0;
        for (int i = 0; i < 3; ++i) {
            const double time = RecordTime(r) + (i + 0.5) * 1e-3;
            const double value = static_cast<double>(r) * 10.0 + i + 0.25;
            pos = client.BuildScalarEv(pos, "Scal", i + 1, time, value);
            records.push_back(MakeRecord(Head(kScalarType, "Scal", i + 1, time, 4, 0.0f, value)));
            const char* off = i == 1 ? "Off1" : nullptr;
            pos = client.BuildStrobeEv(pos, "Strb", time, -value, off);
            records.push_back(MakeRecord(Head(off ? kStrobeOffType : kStrobeOnType, "Strb",
                                              off ? PackStoreCode(off) : 0, time, 4, 0.0f, -value)));
        }
        return pos > 0 && Keep(client.SaveEvents(nullptr, static_cast<LONG>(records.size())), records);
    }

    OrvoCI& client;
    Records saved;
};

TEST_P(RecordingOnEitherEngine, EveryKindOfRecordReadsBackAsSavedWithItsBlockInformation)
{
    constexpr int kRecords = 6;
    constexpr double kStart = 1.7e9;
    CStringArray supplements;
    for (const char* store : {"Snip", "Wav1"}) {
        CStoreSupplement supplement;
        supplement.StoreName = store;
        CString text;
        supplement.ToString(&text);
        supplements.Add(text);
    }
    Recorder recorder(ci);
    ASSERT_TRUE(ci.SetOSTime(kStart));
    ASSERT_NE(ci.StartRecordEx("Round", supplements), 0) << Error();
    EXPECT_STREQ(ci.GetHotBlock(), "Round");
    for (int r = 0; r < kRecords; ++r) {
        ASSERT_TRUE(recorder.Stream("Wav1", kFloatFormat, r)) << Error();
        ASSERT_TRUE(recorder.Stream("Sht1", kShortFormat, r)) << Error();
        ASSERT_TRUE(recorder.Snippets(r, 4)) << Error();
    }
    // Events that arrive after later ones still read in time order, and the
    // block's end follows the latest event, not the last saved.
    for (int r = kRecords - 1; r >= 0; --r) {
        ASSERT_TRUE(recorder.Events(r)) << Error();
    }
    const Records expected = TimeOrdered(recorder.saved);
    ci.StopRecord();
    EXPECT_STREQ(ci.GetHotBlock(), "");
    EXPECT_THAT(Error(), HasSubstr("no block of tank T1 is being recorded"));

    ASSERT_NE(ci.OpenTank("T1", 'R'), 0) << Error();
    ASSERT_NE(ci.SelectBlock("Round"), 0) << Error();
    ASSERT_EQ(ci.GetBlockSupplement()->GetSize(), 2);
    EXPECT_STREQ(ci.GetBlockSupplement()->GetData()[1]->StoreName, "Wav1");
    CString name, tank, state, notes;
    double start = 0, stop = 0;
    ASSERT_TRUE(ci.GetBlockInfo(&name, &tank, &state, &start, &stop, &notes));
    EXPECT_EQ(std::string(name) + "|" + std::string(tank) + "|" + std::string(state), "Round|T1|stopped");
    EXPECT_EQ(start, kStart);
    EXPECT_GE(stop - start, HeadOf(expected.back()).timeStamp);
    EXPECT_EQ(notes.Find("[USERNOTEDELIMITER]"), 0);

    // Batches of 37 split runs of equal times; mixed stores pad to the widest.
    const Selection selections[] = {{}, {"Wav1"}, {"Sht1", 5}, {"Snip", 0, 2}, {"Snip", 6, 0}, {nullptr, 3, 0}};
    for (LONG batch : {37, 100000}) {
        for (const Selection& selection : selections) {
            EXPECT_EQ(FirstDifference(ReadBlock(ci, selection, batch), Selected(expected, selection)), "")
                << "store " << (selection.store ? selection.store : "any") << ", channel " << selection.channel
                << ", sort code " << selection.sortCode << ", batches of " << batch;
        }
    }
    // Rows are zero past their record, even over a previous answer's memory.
    ASSERT_GT(ci.GetEvents(nullptr, 100000, PackStoreCode("Wav1"), 0, 0, 0.0, 0.0, 0), 48);
    const LONG mixed = ci.GetEvents(nullptr, 48, 0, 0, 0, 0.0, 0.0, 0);
    ASSERT_EQ(mixed, 48);
    LONG answerWords = 0;
    ci.GetEvPtr(0, &answerWords);
    answerWords += kHeaderWords;
    for (LONG i = 0; i < mixed; ++i) {
        const LONG* row = ci.GetEvPtr(i, nullptr);
        EXPECT_TRUE(std::all_of(row + row[0], row + answerWords, [](LONG word) { return word == 0; })) << "row " << i;
    }
    // Each store read alone, its rows as wide as its records, parsed as saved.
    for (const char* store : {"Wav1", "Sht1", "Snip", "Scal", "Strb"}) {
        SCOPED_TRACE(store);
        const Records want = Selected(expected, {store});
        ASSERT_EQ(ci.GetEvents(nullptr, 100000, PackStoreCode(store), 0, 0, 0.0, 0.0, 0),
                  static_cast<LONG>(want.size()));
        for (LONG i = 0; i < static_cast<LONG>(want.size()); ++i) {
            const SQHead head = HeadOf(want[static_cast<std::size_t>(i)]);
            double time = 0;
            LONG channel = 0, sortCode = 0, npts = kRecordSamples;
            Row values(kRecordSamples);
            ASSERT_EQ(ci.ParseEv(i, &time, &channel, &sortCode, values.data(), &npts), i + 1);
            values.resize(static_cast<std::size_t>(npts));
            EXPECT_EQ(std::tuple(time, channel, sortCode),
                      std::tuple(head.timeStamp, LONG{head.channel}, LONG{head.sortCode}));
            EXPECT_EQ(ci.ParseEvHeaderInfo(i, 1), (head.size - kHeaderWords) * 4);  // data bytes
            EXPECT_EQ(ci.ParseEvHeaderInfo(i, 7), head.value);
            EXPECT_EQ(values, Values(want[static_cast<std::size_t>(i)])) << "values of record " << i;
        }
    }

    // Each channel's waveform row is its samples from the block's start, then zeros.
    constexpr std::size_t kWritten = kRecords * kRecordSamples;
    for (const auto& [store, format] : {std::pair{"Wav1", kFloatFormat}, std::pair{"Sht1", kShortFormat}}) {
        SCOPED_TRACE(store);
        VARIANT out;
        VariantInit(&out);
        EXPECT_GT(ci.GetWaves(PackStoreCode(store), &out), 0) << Error();
        const std::vector<Row> rows = TakeRows(out);
        ASSERT_EQ(rows.size(), static_cast<std::size_t>(kChannels));
        for (LONG c = 1; c <= kChannels; ++c) {
            const Row& row = rows[static_cast<std::size_t>(c - 1)];
            ASSERT_GE(row.size(), kWritten);
            Row want(row.size(), 0.0f);
            for (std::size_t k = 0; k < kWritten; ++k) {
                const auto n = static_cast<std::int64_t>(k);
                want[k] = format == kShortFormat ? StreamSample(n, c) : FloatSample(n, c);
            }
            ASSERT_EQ(row, want) << "channel " << c;
        }
    }
}

// A recorder in another process is killed before its background sync: the
// block keeps every acknowledged batch, whole batches only, and records on.
TEST_F(RecordingTest, KilledRecorderLeavesExactlyWholeAcknowledgedBatches)
{
    // 300 batches fill the first chunk of the block's index and go on.
    for (std::int32_t killAfter : {0, 1, 9, 60, 300}) {
        SCOPED_TRACE(killAfter);
        const std::string name = "Killed-" + std::to_string(killAfter);
        Pipe report;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            report.Close(0);
            OrvoCI writer;
            bool good = Connect(writer, "Writer") > 0 && writer.OpenTank(TankPath().c_str(), 'W') != 0 &&
                        writer.SetRecordOption(3600, 1, nullptr, 0) && writer.StartRecord(name.c_str()) != 0;
            for (std::int32_t acknowledged = 0; good; ++acknowledged) {
                good = Send(report.fd[1], acknowledged) &&
                       SaveStreamRecord(writer, "Wav1", kFloatFormat, acknowledged) > 0;
            }
            ::_exit(1);
        }
        report.Close(1);
        std::int32_t acknowledged = -1;
        while (acknowledged < killAfter && Receive(report.fd[0], acknowledged)) {
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the recorder failed before it was killed";
        ASSERT_EQ(acknowledged, killAfter);

        ASSERT_NE(ci.SelectBlock(name.c_str()), 0) << Error();
        const Records got = ReadBlock(ci);
        const auto batches = static_cast<std::int64_t>(got.size() / kChannels);
        EXPECT_EQ(got.size() % kChannels, 0u) << "a batch survived in part";
        EXPECT_GE(batches, killAfter);
        EXPECT_EQ(FirstDifference(got, WavBatches(batches)), "");
        EXPECT_EQ(std::string(ci.GetHotBlock().GetString()), "") << "a dead recorder's block counts as recorded";
    }

    // Naming the last one again takes up recording it after its whole records.
    ASSERT_NE(ci.SelectBlock("Killed-300"), 0) << Error();
    const auto kept = static_cast<std::int64_t>(ReadBlock(ci).size() / kChannels);
    ASSERT_NE(ci.StartRecord("Killed-300"), 0) << Error();
    EXPECT_EQ(std::string(ci.GetHotBlock().GetString()), "Killed-300");
    ASSERT_GT(SaveStreamRecord(ci, "Wav1", kFloatFormat, kept), 0) << Error();
    ci.StopRecord();
    ASSERT_NE(ci.SelectBlock("Killed-300"), 0) << Error();
    EXPECT_EQ(FirstDifference(ReadBlock(ci), WavBatches(kept + 1)), "");
}

// What the reader process sees after each token of the recorder.
struct LiveView {
    std::int64_t records = -1;
    std::int32_t hotBlockRight = 0;  // named while recorded, none after
    std::int32_t asSaved = 0;        // every record as saved, no other
    std::int32_t followed = 0;       // reading on while the recorder ran free saw it all, in order
};

// A reader in another process sees exactly the batches saved so far, in step
// and while the recorder runs free (each record once, in order), then all.
TEST_P(RecordingOnEitherEngine, ReaderInAnotherProcessFollowsLiveBlock)
{
    constexpr std::int32_t kInStep = 12;
    constexpr std::int32_t kBatches = kInStep + 200;
    constexpr std::int32_t kFree = -2;
    constexpr std::int32_t kStopped = -1;
    // A reader that died must fail the test, not end the program.
    ::signal(SIGPIPE, SIG_IGN);
    Pipe toReader, toRecorder;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        toReader.Close(1), toRecorder.Close(0);
        const Records all = WavBatches(kBatches);
        OrvoCI reader;
        const bool open = Connect(reader, "Reader") > 0 && reader.OpenTank(TankPath().c_str(), 'R') != 0;
        bool selected = false, followed = false;
        std::int32_t saved = 0;
        while (open && Receive(toReader.fd[0], saved)) {
            if (saved == kFree) {
                // Only what is new since the last read, then the rest.
                Records seen = ReadBlock(reader);
                const auto readOn = [&] {
                    const LONG n = reader.GetEvents(nullptr, 1000, 0, 0, 0, 0.0, 0.0, kContinue);
                    AppendRows(reader, n, seen);
                    return n > 0;
                };
                followed = true;
                for (pollfd token{toReader.fd[0], POLLIN, 0}; ::poll(&token, 1, 0) == 0;) {
                    readOn();
                    const auto prefix = static_cast<std::ptrdiff_t>(std::min(seen.size(), all.size()));
                    followed = followed && FirstDifference(seen, {all.begin(), all.begin() + prefix}).empty();
                }
                while (readOn()) {
                }
                followed = followed && FirstDifference(seen, all).empty();
                continue;
            }
            const std::string hot = reader.GetHotBlock().GetString();
            selected = selected || reader.SelectBlock(hot.c_str()) != 0;
            const Records got = selected ? ReadBlock(reader) : Records{};
            const bool hotBlockRight = saved == kStopped ? hot.empty() : hot == "Live";
            const Records want = WavBatches(saved == kStopped ? kBatches : saved);
            const LiveView view{static_cast<std::int64_t>(got.size()), hotBlockRight,
                                FirstDifference(got, want).empty(), followed};
            if (!Send(toRecorder.fd[1], view) || saved == kStopped) {
                break;
            }
        }
        ::_exit(open ? 0 : 1);
    }
    toReader.Close(0), toRecorder.Close(1);
    ASSERT_NE(ci.StartRecord("Live"), 0) << Error();
    LiveView view;
    for (std::int32_t saved = 0; saved <= kInStep; ++saved) {
        if (saved > 0) {
            ASSERT_GT(SaveStreamRecord(ci, "Wav1", kFloatFormat, saved - 1), 0) << Error();
        }
        ASSERT_TRUE(Send(toReader.fd[1], saved) && Receive(toRecorder.fd[0], view));
        EXPECT_EQ(view.records, std::int64_t{saved} * kChannels) << "after batch " << saved;
        EXPECT_TRUE(view.hotBlockRight) << "GetHotBlock does not name the block after batch " << saved;
        EXPECT_TRUE(view.asSaved) << "after batch " << saved;
    }
    ASSERT_TRUE(Send(toReader.fd[1], kFree));
    for (std::int32_t batch = kInStep; batch < kBatches; ++batch) {
        ASSERT_GT(SaveStreamRecord(ci, "Wav1", kFloatFormat, batch), 0) << Error();
    }
    ci.StopRecord();
    ASSERT_TRUE(Send(toReader.fd[1], kStopped) && Receive(toRecorder.fd[0], view));
    EXPECT_EQ(view.records, std::int64_t{kBatches} * kChannels);
    EXPECT_TRUE(view.hotBlockRight) << "GetHotBlock names a stopped block";
    EXPECT_TRUE(view.asSaved);
    EXPECT_TRUE(view.followed);
    toReader.Close(1);
    int status = 0;
    EXPECT_TRUE(::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// One bad record refuses its batch whole, naming the record and the fault.
TEST_F(RecordingTest, BatchWithBadRecordIsRefusedWholeWithItsReason)
{
    EXPECT_EQ(ci.BuildScalarEv(0, "Scal", 1, 0.5, 1), 10);
    EXPECT_EQ(ci.SaveEvents(nullptr, 1), 0);
    EXPECT_THAT(Error(), HasSubstr("the client is not recording"));

    // Record 1 of a Float stream batch, rows of 266 words, spoiled.
    const struct {
        void (*spoil)(SQHead&);
        const char* reason;
    } cases[] = {
        {[](SQHead& h) { h.size = 9; }, "size 9 is below the header"},
        {[](SQHead& h) { h.size += 1; }, "size 267 is past the row width 266"},
        {[](SQHead& h) { h.type = 0x1234; }, "type 4660 is no known event type"},
        {[](SQHead& h) { h.dataFormat = 6; }, "data format 6 is no known format"},
        {[](SQHead& h) { h.type = kScalarType; }, "size 266 of a scalar or strobe record is not 10"},
        {[](SQHead& h) { h.code = 0; }, "store code 0 names no store"},
        {[](SQHead& h) { h.code = PackStoreCode("W\nv1"); }, "store code 829819479 holds a control character"},
        {[](SQHead& h) { h.code = 0x00410041; }, "store code 4259905 holds a control character"},  // "A\0A"
        {[](SQHead& h) { h.timeStamp = std::numeric_limits<double>::quiet_NaN(); }, "time stamp is not a finite"},
        {[](SQHead& h) { h.timeStamp = -0.5; }, "time stamp -0.500000 is before the block's start"},
    };
    Recorder recorder(ci);
    ASSERT_NE(ci.StartRecord("Bad"), 0) << Error();
    ASSERT_TRUE(recorder.Stream("Wav1", kFloatFormat, 0)) << Error();
    const Records batch = StreamRecords("Wav1", kFloatFormat, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        std::vector<LONG> rows = Rows(batch);
        SQHead head = ReadHeader(&rows[batch[0].size()]);
        c.spoil(head);
        WriteHeader(&rows[batch[0].size()], head);
        EXPECT_EQ(ci.SaveEvents(rows.data(), static_cast<LONG>(batch.size())), 0);
        EXPECT_THAT(Error(), HasSubstr(std::string("record 1: ") + c.reason));
        EXPECT_EQ(FirstDifference(ReadBlock(ci), TimeOrdered(recorder.saved)), "");
    }
    ASSERT_TRUE(recorder.Stream("Wav1", kFloatFormat, 1)) << Error();
    ci.StopRecord();
    ASSERT_NE(ci.SelectBlock("Bad"), 0) << Error();
    EXPECT_EQ(FirstDifference(ReadBlock(ci), TimeOrdered(recorder.saved)), "");
    EXPECT_EQ(Error(), "No error to report.");
}

TEST_F(RecordingTest, AnAnswerStopsAtAMillionRowsAndTheNextReadGoesOn)
{
    constexpr LONG kRows = 1000000;
    std::vector<LONG> rows;
    rows.reserve((kRows + 1) * std::size_t{kHeaderWords});
    for (LONG i = 0; i <= kRows; ++i) {
        SQHead head = Head(kScalarType, "Many", 1, i * 1e-4, 0, 0, i);
        head.size = kHeaderWords;
        rows.resize(rows.size() + kHeaderWords);
        WriteHeader(&rows[rows.size() - kHeaderWords], head);
    }
    ASSERT_NE(ci.StartRecord("Many"), 0) << Error();
    ASSERT_EQ(ci.SaveEvents(rows.data(), kRows + 1), kRows + 1) << Error();
    ci.StopRecord();
    ASSERT_NE(ci.SelectBlock("Many"), 0) << Error();
    ASSERT_EQ(ci.GetEvents(nullptr, 2 * kRows, 0, 0, 0, 0, 0, 0), kRows) << Error();
    EXPECT_EQ(ci.GetEvents(nullptr, 2 * kRows, 0, 0, 0, 0, 0, kContinue), 1) << Error();
    EXPECT_EQ(HeaderInfo(ci, 1, 6), std::vector<double>{kRows * 1e-4});
}

ORVO_ON_EITHER_ENGINE(RecordingOnEitherEngine);

}  // namespace
}  // namespace orvo::test
