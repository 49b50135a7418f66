// The module's class object: loading the module makes the engine available
// to local activations of orvo::CLSID_TankEngine, as starting a local server would.
#include "tankengine/server/TankEngine.h"

#include <mutex>
#include <new>
#include "protocol/Installation.h"

namespace orvo::engine {
namespace {

// Hands out the one engine of the process; the engine lives as long as the
// factory, that is until the module is unloaded.
class EngineFactory final : public ComObject<IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        std::lock_guard lock(m_mutex);
        if (!m_engine) {
            m_engine.attach(new (std::nothrow) TankEngine);
            if (!m_engine) {
                return E_OUTOFMEMORY;
            }
        }
        return m_engine->QueryInterface(riid, object);
    }

    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    std::mutex m_mutex;
    ComPtr<ITankEngine> m_engine;
};

class Registration {
public:
    Registration()
    {
        ComPtr<IClassFactory> factory;
        factory.attach(new EngineFactory);
        // The class table holds the factory from here on.
        (void)CoRegisterClassObject(orvo::CLSID_TankEngine, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                    &m_cookie);
    }
    ~Registration()
    {
        if (m_cookie != 0) {
            (void)CoRevokeClassObject(m_cookie);
        }
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    DWORD m_cookie = 0;
};

const Registration g_registration;

}  // namespace
}  // namespace orvo::engine
