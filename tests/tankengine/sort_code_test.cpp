// Sort sets of the tank engine through OrvoCI: codes saved from read
// snippets, read back under their name after the tank is reopened.
#include "tests/tankengine/tank_test.h"

#include "tankengine/storage/frame.h"

#include <orvo/platform/bstr.h>
#include <orvo/platform/safearray.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

namespace orvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The stored code of a row is replaced, as a sorter does before saving.
void SetRowSortCode(LONG* row, std::int16_t code)
{
    std::memcpy(reinterpret_cast<char*>(row) + offsetof(SQHead, sortCode), &code, sizeof code);
}

// A VT_ARRAY|VT_I4 VARIANT of words, released with the object.
class Words {
public:
    explicit Words(const std::vector<LONG>& words, VARTYPE vt = VT_I4)
    {
        SAFEARRAYBOUND bound{static_cast<ULONG>(words.size()), 0};
        m_value.vt = static_cast<VARTYPE>(VT_ARRAY | vt);
        m_value.parray = SafeArrayCreate(vt, 1, &bound);
        if (vt == VT_I4 && !words.empty()) {
            std::memcpy(m_value.parray->pvData, words.data(), words.size() * sizeof(LONG));
        }
    }
    ~Words() { VariantClear(&m_value); }
    const VARIANT& get() const { return m_value; }

private:
    VARIANT m_value{};
};

// The exit status and output of tools/read_block.py, which reads a block
// folder knowing only numpy and docs/tank-storage.md.
std::pair<int, std::string> ReadWithoutLibrary(const std::filesystem::path& block)
{
    const std::string command = ORVO_TEST_PYTHON " " ORVO_BLOCK_READER " '" + block.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, "cannot run " + command};
    }
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Overwrites a byte in the first channel section of a set file.
void DamageSetFile(const std::filesystem::path& file)
{
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    bytes.seekp(30);
    bytes.put('\x7f');
    ASSERT_TRUE(bytes.good()) << file;
}

class SortCodeTest : public TankTest {
protected:
    // Six snippets of store eNeu at 0.5, 1.5, ... on channels 1, 2, 1, ...
    // (records 0 to 5, stored sort code 0), then one Tick (record 6).
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(TankTest::SetUp());
        ASSERT_TRUE(ci.StartRecord("Run"));
        ci.SetBuildHead("eNeu", 2, static_cast<float>(kRate), 4);
        LONG pos = 0;
        for (int i = 0; i < 6; ++i) {
            std::vector<LONG> data{0, i, i + 1, i + 2, i + 3, 0};
            pos = ci.BuildSnipEv(pos, 1 + i % 2, 0.5 + i, data.data(), 1);
        }
        ASSERT_EQ(ci.SaveEvents(nullptr, 6), 6);
        ASSERT_EQ(ci.BuildScalarEv(0, "Tick", 1, 0.25, 1), 10);
        ASSERT_EQ(ci.SaveEvents(nullptr, 1), 1);
        ci.StopRecord();
        ASSERT_TRUE(ci.SelectBlock("Run"));
    }

    std::vector<double> SortCodes(LONG code, LONG sortCode)
    {
        return HeaderInfo(ci, ci.GetEvents(nullptr, 100, code, 0, sortCode, 0, 0, 0), 5);
    }

    std::string Condition(LONG channel, const char* name, LONG kind)
    {
        BSTR condition = nullptr;
        if (!ci.GetSortCondition("eNeu", channel, name, kind, &condition)) {
            return "failed: " + Error();
        }
        std::string bytes(reinterpret_cast<const char*>(condition), SysStringByteLen(condition));
        SysFreeString(condition);
        return bytes;
    }

    // The block's one sort set file.
    std::filesystem::path SetFile() { return std::filesystem::directory_iterator(BlockDir("Run") / "sort")->path(); }

    const LONG eNeu = PackStoreCode("eNeu");
};

using SortCodeOnEitherEngine = OnEitherEngine<SortCodeTest>;

TEST_P(SortCodeOnEitherEngine, SetsSurviveReopeningAndSteerReads)
{
    // Headers of channel 1 with their record numbers, re-coded and saved.
    LONG n = ci.GetEvents(nullptr, 100, eNeu, 1, 0, 0, 0, kHeadersOnly | kRecordIndex);
    ASSERT_EQ(n, 3);
    VARIANT indexes{};
    ci.FillEvNqaIdx(&indexes);
    ASSERT_EQ(indexes.vt, VT_ARRAY | VT_I4);
    const auto* index = static_cast<const LONG*>(indexes.parray->pvData);
    EXPECT_EQ(std::vector<LONG>(index, index + 3), (std::vector<LONG>{0, 2, 4}));
    VariantClear(&indexes);
    for (LONG i = 0; i < n; ++i) {
        SetRowSortCode(ci.GetEvPtr(i, nullptr), static_cast<std::int16_t>(i == 1 ? 2 : 1));
    }
    const BYTE memo[] = {'r', 'a', 'w', 0, 'm', 'e', 'm', 'o'};
    ASSERT_TRUE(ci.SaveSortCode(eNeu, 1, "Ana", ci.GetEvPtr(0, nullptr), n, memo, sizeof memo)) << ci.GetError();
    ASSERT_TRUE(ci.SaveSortCodeInVariant("Ana", "eNeu", 2, "two", Words({1, 5, 3, -1}).get())) << ci.GetError();
    ASSERT_TRUE(ci.SaveSortCodeInVariant("Bob", "eNeu", 0, "", Words({5, 7}).get())) << ci.GetError();
    const double matrix[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9.5};
    ASSERT_TRUE(ci.SaveEigenVector(eNeu, 1, 3, matrix)) << ci.GetError();

    ci.CloseTank();
    ASSERT_TRUE(ci.OpenTank("T1", 'R'));
    ASSERT_TRUE(ci.SelectBlock("Run"));
    CStringArray names;
    ASSERT_EQ(ci.GetSortNameList("eNeu", &names), 2);
    EXPECT_EQ(std::string(names[0]) + "," + std::string(names[1]), "Ana,Bob");
    EXPECT_EQ(ci.GetSortNameList("Tick", &names), 0);

    // Reads report and select by the named set's codes, stored codes elsewhere.
    EXPECT_EQ(SortCodes(eNeu, 0), (std::vector<double>{0, 0, 0, 0, 0, 0}));
    ci.SetUseSortName("Bob");
    EXPECT_EQ(SortCodes(eNeu, 7), (std::vector<double>{7}));
    ci.SetUseSortName("Ana");
    EXPECT_EQ(SortCodes(eNeu, 0), (std::vector<double>{1, 5, 2, -1, 1, 0}));
    EXPECT_EQ(SortCodes(0, 1), (std::vector<double>{1, 1}));
    EXPECT_EQ(ci.ParseEvHeaderInfo(0, 9), kRate);  // sampleFreq stays without the index option

    EXPECT_EQ(Condition(1, "Ana", 0), std::string(reinterpret_cast<const char*>(memo), sizeof memo));
    EXPECT_STREQ(ci.GetSortMemo("Ana", "eNeu", 2), "two");
    EXPECT_STREQ(ci.GetSortMemo("Ana", "eNeu", 1), "");  // saved without the marker
    EXPECT_EQ(Condition(0, "Bob", 0), std::string("N\0O\0T\0S\0O\0R\0T\0E\0R\0", 18));
    LONG size = 0;
    double* back = nullptr;
    ASSERT_TRUE(ci.GetEigenVector(eNeu, 1, size, &back));
    EXPECT_EQ(std::vector<double>(back, back + size * size), std::vector<double>(matrix, matrix + 9));
    delete[] back;

    // The channel map: (channel, coded events) as 32-bit words.
    VARIANT map{};
    ci.GetSortMapInVariant("Ana", "eNeu", &map);
    ASSERT_EQ(map.vt, VT_ARRAY | VT_I1);
    ASSERT_EQ(map.parray->rgsabound[0].cElements, 16u);
    std::vector<std::int32_t> entries(4);
    std::memcpy(entries.data(), map.parray->pvData, 16);
    EXPECT_THAT(entries, ElementsAre(1, 3, 2, 2));
    VariantClear(&map);

    // Deleting needs the tank open for writing; one channel, then a whole set.
    EXPECT_FALSE(ci.DeleteSortCode("eNeu", 0, "Bob"));
    EXPECT_THAT(Error(), HasSubstr("open for reading only"));
    ASSERT_TRUE(ci.OpenTank("T1", 'W'));
    ASSERT_TRUE(ci.SelectBlock("Run"));
    ASSERT_TRUE(ci.DeleteSortCode("eNeu", 2, "Ana"));
    ASSERT_TRUE(ci.DeleteSortCode("eNeu", 0, "Bob"));
    EXPECT_EQ(SortCodes(eNeu, 0), (std::vector<double>{1, 0, 2, 0, 1, 0}));
    EXPECT_FALSE(ci.DeleteSortCode("eNeu", 0, "Bob"));
    EXPECT_THAT(Error(), HasSubstr("block Run has no sort set \"Bob\" of store \"eNeu\""));
    names.RemoveAll();
    EXPECT_EQ(ci.GetSortNameList("", &names), 1);
}

TEST_F(SortCodeTest, BadInputIsRefusedWithItsReasonAndLosesNothing)
{
    ASSERT_TRUE(ci.SaveSortCodeInVariant("Ana", "eNeu", 0, "keep", Words({0, 3}).get()));
    const struct {
        const char* name;
        LONG channel;
        std::vector<LONG> words;
        VARTYPE vt;
        const char* reason;
    } cases[] = {
        {"Ana", 0, {2, 9, 99, 1}, VT_I4, "pair 1: record 99 is not in the block, which has 7"},
        {"Ana", 0, {6, 1}, VT_I4, "record 6 is of store \"Tick\", channel 1, not of store \"eNeu\""},
        {"Ana", 1, {1, 1}, VT_I4, "channel 2, not of store \"eNeu\", channel 1"},
        {"Ana", 0, {2, 40000}, VT_I4, "sort code 40000 is outside -32768 to 32767"},
        {"Ana", 0, {2, 1, 4}, VT_I4, "holds 3 words, not pairs"},
        {"Ana", 0, {2, 1}, VT_R8, "not an array of 32-bit integers"},
        {"", 0, {2, 1}, VT_I4, "sort codes need a sort name"},
        {"Ana", 70000, {}, VT_I4, "channel 70000 is outside 0 to 65535"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ci.SaveSortCodeInVariant(c.name, "eNeu", c.channel, "lost", Words(c.words, c.vt).get()));
        EXPECT_THAT(Error(), HasSubstr(c.reason));
    }
    EXPECT_STREQ(ci.GetSortMemo("Ana", "eNeu", 0), "keep");
    ci.SetUseSortName("Ana");
    EXPECT_EQ(SortCodes(eNeu, 0), (std::vector<double>{3, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(ci.SetRecordOption(0, 1, nullptr, 0));  // sync after every SaveEvents
    EXPECT_FALSE(ci.SetRecordOption(-1, 1, nullptr, 0));
    EXPECT_FALSE(ci.SetRecordOption(1, 2, nullptr, 0));
    EXPECT_THAT(Error(), HasSubstr("SetRecordOption: option 2 is not known"));

    // A crafted code count, its checksum made to match, is refused before
    // the codes are decoded: it lies past the header, "Ana", channel and flags.
    const std::filesystem::path file = SetFile();
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    constexpr std::size_t kCountAt = 8 + 4 * 4 + 3 + 2 * 4;
    const std::uint32_t count = (std::uint32_t{1} << 24) + 1;
    std::memcpy(bytes.data() + kCountAt, &count, sizeof count);
    const std::uint32_t crc = tank::DataCrc(std::as_bytes(std::span(bytes.data(), bytes.size() - 4)));
    std::memcpy(bytes.data() + bytes.size() - 4, &crc, sizeof crc);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_STREQ(ci.GetSortMemo("Ana", "eNeu", 0), "");
    EXPECT_THAT(Error(), HasSubstr("holds more than 16777216 sort codes"));

    // A damaged set file fails what reads it, with the file named.
    ASSERT_NO_FATAL_FAILURE(DamageSetFile(file));
    EXPECT_STREQ(ci.GetSortMemo("Ana", "eNeu", 0), "");
    EXPECT_THAT(Error(), HasSubstr(file.string() + " fails its checksum"));
    ci.SetUseSortName("Ana");  // an edit in place may keep the file's time stamp
    EXPECT_EQ(ci.GetEvents(nullptr, 100, eNeu, 0, 0, 0, 0, 0), -1);
    EXPECT_THAT(Error(), HasSubstr("fails its checksum"));
}

// tools/read_block.py, knowing only the storage document, takes every byte of
// a set file and fails a damaged one as the library does.
TEST_F(SortCodeTest, SetFilesReadWithoutTheLibrary)
{
    ASSERT_TRUE(ci.SaveSortCodeInVariant("Ana", "eNeu", 2, "two", Words({1, 5, 3, -1}).get())) << ci.GetError();
    const double matrix[4] = {1, 2, 3, 4};
    ASSERT_TRUE(ci.SaveEigenVector(eNeu, 1, 2, matrix)) << ci.GetError();
    const auto [status, out] = ReadWithoutLibrary(BlockDir("Run"));
    ASSERT_EQ(status, 0) << out;
    EXPECT_THAT(out, HasSubstr("sort set \"\" of eNeu: channels 1; 0 codes\n"
                               "sort set \"Ana\" of eNeu: channels 2; 2 codes\n"));

    const std::filesystem::path file = BlockDir("Run") / "sort" / "75654E65-416E61.set";
    ASSERT_NO_FATAL_FAILURE(DamageSetFile(file));
    const auto [damagedStatus, damagedOut] = ReadWithoutLibrary(BlockDir("Run"));
    EXPECT_EQ(damagedStatus, 1);
    EXPECT_THAT(damagedOut, HasSubstr(file.string() + ": checksum mismatch"));
}

ORVO_ON_EITHER_ENGINE(SortCodeOnEitherEngine);

}  // namespace
}  // namespace orvo::test
