// The engine tests' fixture; a test of the engine's results may run both in
// this process and through orvo-engined, and must see the same either way.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/tankengine/recording_support.h"

#include "tests/fixtures/scratch.h"
#ifdef ORVO_ENGINED
#include "tests/fixtures/engine_server.h"
#endif

namespace orvo::test {

enum class EngineAt { kThisProcess, kServer };

// A client named "App" of the engine with tank T1 in a scratch folder,
// registered in a registry of the test's own and open for writing.
class TankTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (At() == EngineAt::kServer) {
            ASSERT_NO_FATAL_FAILURE(StartServer());
        }
        // The engine starts as the registry's local server, as for applications.
        ASSERT_GT(Connect(ci, "App"), 0) << Error();
        ASSERT_TRUE(ci.AddTank("T1", scratch.path().string().c_str())) << Error();
        ASSERT_TRUE(ci.InitializeTank(TankPath().c_str())) << Error();  // by path; by name elsewhere
        ASSERT_TRUE(ci.OpenTank("T1", 'W')) << Error();
        ci.GetError();  // nothing earlier tests left behind
    }
    virtual EngineAt At() const { return EngineAt::kThisProcess; }
    // Connects client, as the application `app`, to the engine the test reads.
    LONG Connect(OrvoCI& client, const char* app) { return client.ConnectServer(m_serverName.c_str(), app); }
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

private:
    // orvo-engined with TLS, listed as "lab" with its user's credentials.
    void StartServer()
    {
#ifdef ORVO_ENGINED
        m_server.emplace(registry.dir(), true);
        m_trusted.emplace("ORVO_SERVER_CERTIFICATES", m_server->Certificate());
        m_serverName = "lab";
        ASSERT_TRUE(ci.AddServer("lab", m_server->TlsAddress().c_str(), "alice", "", "secret"));
#else
        FAIL() << "built without orvo-engined";
#endif
    }

#ifdef ORVO_ENGINED
    std::optional<EngineServer> m_server;
#endif
    std::optional<ScopedEnv> m_trusted;
    std::string m_serverName;

protected:
    OrvoCI ci;
};

// Fixture, run on the engine in this process and on one behind orvo-engined:
// TEST_P on an alias of OnEitherEngine<Fixture>, and ORVO_ON_EITHER_ENGINE(alias).
template <class Fixture>
class OnEitherEngine : public Fixture, public ::testing::WithParamInterface<EngineAt> {
protected:
    EngineAt At() const override { return this->GetParam(); }
};

inline void PrintTo(EngineAt at, std::ostream* out) { *out << (at == EngineAt::kServer ? "server" : "this process"); }

inline std::string EngineAtName(const ::testing::TestParamInfo<EngineAt>& info)
{
    return info.param == EngineAt::kServer ? "ThroughServer" : "InProcess";
}

#ifdef ORVO_ENGINED
#define ORVO_ON_EITHER_ENGINE(Suite) \
    INSTANTIATE_TEST_SUITE_P(Engines, Suite, ::testing::Values(EngineAt::kThisProcess, EngineAt::kServer), EngineAtName)
#else
#define ORVO_ON_EITHER_ENGINE(Suite) \
    INSTANTIATE_TEST_SUITE_P(Engines, Suite, ::testing::Values(EngineAt::kThisProcess), EngineAtName)
#endif

}  // namespace orvo::test
