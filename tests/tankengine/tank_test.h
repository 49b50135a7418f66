// The fixture of the engine tests: the engine loaded as applications reach
// it, a registry and a tank folder of the test's own, a client connected.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tankengine/recording_support.h"

#include "tests/fixtures/scratch.h"

namespace orvo::test {

// A client named "App" of the engine with tank T1 in a scratch folder,
// registered in a registry of the test's own and open for writing.
class TankTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The engine starts as the registry's local server, as for applications.
        ASSERT_GT(ci.ConnectServer("", "App"), 0) << Error();
        ASSERT_TRUE(ci.AddTank("T1", scratch.path().string().c_str())) << Error();
        ASSERT_TRUE(ci.InitializeTank(TankPath().c_str())) << Error();  // by path; by name elsewhere
        ASSERT_TRUE(ci.OpenTank("T1", 'W')) << Error();
        ci.GetError();  // nothing earlier tests left behind
    }
    std::string Error() { return ci.GetError().GetString(); }
    std::string TankPath() const { return (scratch.path() / "T1").string(); }
    std::filesystem::path BlockDir(const char* block) const { return scratch.path() / "T1" / block; }
    std::vector<std::string> BlockNames()
    {
        std::vector<std::string> names;
        CString name;
        for (LONG i = 0; ci.QueryBlockName(i, &name); ++i) {
            names.push_back(name.GetString());
        }
        return names;
    }

    ScratchRegistry registry;
    ScratchDir scratch;
    OrvoCI ci;
};

}  // namespace orvo::test
