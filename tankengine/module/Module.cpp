// The module's class object: loading the module makes the engine available
// to local activations of orvo::CLSID_TankEngine, as starting a local server would.
#include "tankengine/server/TankEngine.h"

#include <new>
#include "platform/thread_safety.h"
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
        // No exception may leave the factory: the caller is not ours.
        try {
            MutexLock lock(m_mutex);
            if (!m_engine) {
                m_engine.attach(new TankEngine);
            }
            return m_engine->QueryInterface(riid, object);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    Mutex m_mutex;
    ComPtr<ITankEngine> m_engine GUARDED_BY(m_mutex);
};

class Registration {
public:
    Registration()
    {
        // Loading must not end the process: without memory for the factory
        // the engine is simply not offered.
        ComPtr<IClassFactory> factory;
        factory.attach(new (std::nothrow) EngineFactory);
        if (!factory) {
            return;
        }
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
