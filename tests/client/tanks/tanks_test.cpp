#include <orvo/OrvoCI.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/registry.h"
#include "protocol/Installation.h"
#include "tests/fixtures/mock_tank_engine.h"

namespace orvo::test {
namespace {

template <typename T>
std::string Text(const T& v) { if constexpr (std::is_arithmetic_v<T>) return std::to_string(v); else return std::string(v); }

std::string InfoInto(OrvoCI& c)
{
    CString a("a"), b("b"), t("t"), n("n");
    double start = 0, stop = 0;
    const int result = c.GetBlockInfo(&a, &b, &t, &start, &stop, &n);
    return Text(result) + " " + Text(a + b + t + n) + " " + Text(stop - start);
}

// Client id 4 when connected; the engine's answers differ from 1 so that a
// method inventing its own result shows.
struct Forward {
    const char* call;
    bool clientBound;
    std::function<void(MockTankEngine&)> expect;
    std::function<std::string(OrvoCI&)> run;
    std::string refused, answered;
};
#define FORWARD(bound, call, refused, answered, engineCall, action)                                 \
    Forward{#call, bound, [](MockTankEngine& e) { EXPECT_CALL(e, engineCall).WillOnce(action); }, \
            [](OrvoCI& c) { return Text(call); }, refused, answered}

const auto kItemsAB = [] { CStringArray a; a.Add("A"), a.Add("B"); return a; }();
const auto kBlockInfo = DoAll(SetArgPointee<4>(1.5), SetArgPointee<5>(2.5), ReturnText<6>("N", 7));

const std::vector<Forward> kForwards = {
    FORWARD(false, c.AddTank("T1", ""), "0", "3", AddTank(BstrIs("T1"), BstrIs("")), Return(3)),
    FORWARD(false, c.RemoveTank("T1"), "0", "4", RemoveTank(BstrIs("T1")), Return(4)),
    FORWARD(false, c.GetEnumTank(2), "", "T2", GetEnumTank(2, _), ReturnText<1>("T2", 1)),
    FORWARD(false, c.GetEnumTank(3), "", "", GetEnumTank(3, _), ReturnText<1>("stale", 0)),
    FORWARD(false, c.GetTankItem("T1", "PA"), "", "/d/", GetTankItem(BstrIs("T1"), BstrIs("PA"), _), ReturnText<2>("/d/", 1)),
    FORWARD(false, c.ResetTank("T1"), "0", "5", ResetTank(BstrIs("T1")), Return(5)),
    FORWARD(false, c.CheckTank("T1"), "0", "6", CheckTank(BstrIs("T1")), Return(6)),
    FORWARD(false, c.GetDebug("T1"), "", "cache 3 blocks", GetDebug(BstrIs("T1"), _), ReturnText<1>("cache 3 blocks", 1)),
    FORWARD(false, (c.EnabTankDebug("T1", 1), ""), "", "", EnabTankDebug(BstrIs("T1"), 1), Return(0)),
    FORWARD(true, c.InitializeTank("T1"), "0", "7", InitializeTank(BstrIs("T1")), Return(7)),
    FORWARD(true, c.OpenTank("T1", 2), "0", "8", OpenTank(4, BstrIs("T1"), 2), Return(8)),
    FORWARD(true, (c.CloseTank(), ""), "", "", CloseTank(4), Return(0)),
    FORWARD(true, c.GetStatus(9), "0", "10", GetStatus(4, 9), Return(10)),
    FORWARD(true, InfoInto(c), "0 abtn 0.000000", "1 N 1.000000", GetBlockInfo(4, _, _, _, _, _, _), kBlockInfo),
    FORWARD(true, c.SetBlockInfo("a", 3, "b"), "0", "11", SetBlockInfo(4, BstrIs("a"), 3, BstrIs("b")), Return(11)),
    FORWARD(true, c.QueryBlockName(2, nullptr), "0", "1", QueryBlockName(4, 2, _), ReturnText<2>("B2", 5)),
    FORWARD(true, c.GetHotBlock(), "", "B9", GetHotBlock(4, _), ReturnText<1>("B9", 1)),
    FORWARD(true, c.StartRecord("R"), "0", "12", StartRecord(4, BstrIs("R")), Return(12)),
    FORWARD(true, c.StartRecordEx("R", kItemsAB), "0", "13",
            StartRecordEx(4, BstrIs("R"), BstrIs("A[STOREHDRITEM]B[STOREHDRITEM]")), Return(13)),
    FORWARD(true, c.StartRecordEx("R", CStringArray()), "0", "14", StartRecord(4, BstrIs("R")), Return(14)),
    FORWARD(true, (c.StopRecord(), ""), "", "", StopRecord(4), Return(0)),
    FORWARD(true, c.SetOSTime(12.5), "0", "15", SetOSTime(4, 12.5), Return(15)),
};

using TanksTest = EngineTest;

TEST_F(TanksTest, ForwardsReachTheEngineOnlyPastTheirGuard)
{
    const auto pass = [&](bool connected, bool withClient) {
        for (const Forward& f : kForwards) {
            const bool reaches = connected && (withClient || !f.clientBound);
            if (reaches) {
                f.expect(*engine);
            }
            EXPECT_EQ(f.run(*client), reaches ? f.answered : f.refused) << f.call;
            testing::Mock::VerifyAndClearExpectations(engine);
        }
    };
    pass(false, false);
    Connect("MyApp", 0);
    pass(true, false);
    EXPECT_EQ(client->AddTank("", "/d/"), 0);
    Connect("MyApp", 4);
    pass(true, true);
}

// In a scratch folder, so that its tanks lie on the current directory's filesystem.
class RemoveInvalidTanksTest : public ::testing::Test {
protected:
    RemoveInvalidTanksTest()
    {
        std::filesystem::current_path(tanks.path());
        EXPECT_EQ(RegisterInstallation(), ERROR_SUCCESS);
    }
    ~RemoveInvalidTanksTest() override { std::filesystem::current_path(m_previous); }

    static bool Registered(const std::string& name, const std::string& folder = "", bool add = false)
    {
        UniqueHKey key;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kivra\\Orvo\\EnumTanks", 0, KEY_ALL_ACCESS, key.put());
        return add ? RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                                    static_cast<DWORD>(folder.size() + 1)) == ERROR_SUCCESS
                   : RegQueryValueExA(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    std::filesystem::path m_previous = std::filesystem::current_path();
    ScratchRegistry registry;
    ScratchDir tanks;
    const std::string folder = tanks.path().string() + "/";
};

TEST_F(RemoveInvalidTanksTest, RemovesOnlyMissingTanksOnThisFilesystem)
{
    EXPECT_EQ(OrvoCI::RemoveInvalidTanks(), 0);  // empty key
    std::ofstream(folder + "Nqc.nqc").put('x');
    struct stat proc {}, here {};
    const bool far = stat("/proc", &proc) == 0 && stat(folder.c_str(), &here) == 0 && proc.st_dev != here.st_dev;
    for (const char* name : {"Gone1", "Gone2", "Nqc"}) {
        ASSERT_TRUE(Registered(name, folder, true));
    }
    ASSERT_TRUE(!far || Registered("Far", "/proc/orvo-none/", true));
    EXPECT_EQ(OrvoCI::RemoveInvalidTanks(), 1);
    EXPECT_FALSE(Registered("Gone1") || Registered("Gone2"));  // neighbours both removed
    EXPECT_TRUE(Registered("Nqc"));
    EXPECT_EQ(Registered("Far"), far);
}

}  // namespace
}  // namespace orvo::test
