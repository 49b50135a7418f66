// A module that, like a local server starting, registers a class object as
// it loads. Its factory only tells the activation that it was reached.
#include <orvo/platform/com.h>

namespace {

// {0B7D3C41-5A6E-4F10-9012-ABCDEF017777}
constexpr CLSID kServedClass = {0x0b7d3c41, 0x5a6e, 0x4f10, {0x90, 0x12, 0xab, 0xcd, 0xef, 0x01, 0x77, 0x77}};

class ReachedFactory : public ComObject<IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown*, REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOTIMPL;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

struct Registration {
    DWORD cookie = 0;
    Registration()
    {
        ComPtr<IClassFactory> factory;
        factory.attach(new ReachedFactory);
        CoRegisterClassObject(kServedClass, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    }
    ~Registration() { CoRevokeClassObject(cookie); }
} g_registration;

}  // namespace
