// Component objects: the IUnknown contract, a process-wide table of class
// factories, and activation of objects through it - locally, or through a
// handler for other machines that the network transport installs.
#pragma once

#include <atomic>
#include <concepts>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include <orvo/platform/errors.h>
#include <orvo/platform/types.h>

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Each interface names its own IID in a static member `iid`, so generic code
// (ComObject, ComPtr::As) can ask for it by type. An interface that derives
// from another interface than IUnknown also names that one as
// `base_interface`, so that a query for the base finds the derived one.
//
// No virtual destructor here: the three methods must be vtable slots 0, 1 and
// 2 and a derived interface's first own method slot 3, the layout callers on
// the other side of the binary interface index into. Objects end themselves in
// Release.
struct IUnknown {
    static constexpr IID iid = IID_IUnknown;

    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
    static constexpr IID iid = IID_IClassFactory;

    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

template <class T>
concept ComInterface = std::is_base_of_v<IUnknown, T> && requires {
    { T::iid } -> std::convertible_to<const IID&>;
};

// Implements IUnknown for a class that implements the given interfaces:
//
//     class Engine final : public ComObject<IEngine> { ...IEngine methods... };
//     Engine* engine = new Engine;   // the creator holds the first reference
//     engine->Release();             // deletes it
//
// The count is atomic, so references may be taken and dropped on any thread.
// QueryInterface answers IUnknown (always with the first interface's IUnknown,
// so identity comparisons work), each listed interface and the interfaces
// they derive from.
template <ComInterface First, ComInterface... Rest>
class ComObject : public First, public Rest... {
public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (riid == IID_IUnknown) {
            *object = static_cast<IUnknown*>(static_cast<First*>(this));
        } else if (!(Find<First>(riid, object) || ... || Find<Rest>(riid, object))) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG AddRef() override { return m_references.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() override
    {
        // acq_rel: every other thread's use of the object happens before the
        // thread that drops the last reference deletes it.
        ULONG left = m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    virtual ~ComObject() = default;

private:
    template <class I>
    static bool Names(REFIID riid)
    {
        if (riid == I::iid) {
            return true;
        }
        if constexpr (requires { typename I::base_interface; }) {
            return Names<typename I::base_interface>(riid);
        } else {
            return false;
        }
    }

    template <class I>
    bool Find(REFIID riid, void** object)
    {
        if (!Names<I>(riid)) {
            return false;
        }
        *object = static_cast<I*>(this);
        return true;
    }

    std::atomic<ULONG> m_references{1};
};

// Holds one reference to an interface.
//
// Threads: copies of one pointer may be made and dropped on different threads
// when the object counts atomically, as ComObject does; one ComPtr object is
// not to be assigned, reset or put while another thread uses it.
template <ComInterface T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes a reference of its own; the caller keeps theirs.
    explicit ComPtr(T* pointer) noexcept : m_pointer(pointer)
    {
        if (m_pointer != nullptr) {
            m_pointer->AddRef();
        }
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_pointer) {}
    ComPtr(ComPtr&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(m_pointer, other.m_pointer);
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const noexcept { return m_pointer; }
    T* operator->() const noexcept { return m_pointer; }
    explicit operator bool() const noexcept { return m_pointer != nullptr; }

    // Drops the reference held and hands out the slot for a function that
    // returns a new reference through a T** or void** out parameter.
    T** put() noexcept
    {
        reset();
        return &m_pointer;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    void reset() noexcept
    {
        if (T* pointer = std::exchange(m_pointer, nullptr)) {
            pointer->Release();
        }
    }
    // Takes over a reference the caller owns (such as a new object's first).
    void attach(T* pointer) noexcept
    {
        reset();
        m_pointer = pointer;
    }
    // Gives the reference held to the caller.
    [[nodiscard]] T* detach() noexcept { return std::exchange(m_pointer, nullptr); }

    template <ComInterface U>
    HRESULT As(ComPtr<U>& other) const noexcept
    {
        return m_pointer->QueryInterface(U::iid, other.put_void());
    }

private:
    T* m_pointer = nullptr;
};

// Execution contexts.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_HANDLER | CLSCTX_SERVER;
// Modifiers for code download, failure logging and activate-as-activator.
// This layer has none of those mechanisms, so they are accepted and ignored.
constexpr DWORD CLSCTX_NO_CODE_DOWNLOAD = 0x400;
constexpr DWORD CLSCTX_NO_CUSTOM_MARSHAL = 0x1000;
constexpr DWORD CLSCTX_ENABLE_CODE_DOWNLOAD = 0x2000;
constexpr DWORD CLSCTX_NO_FAILURE_LOG = 0x4000;
constexpr DWORD CLSCTX_DISABLE_AAA = 0x8000;
constexpr DWORD CLSCTX_ENABLE_AAA = 0x10000;
constexpr DWORD CLSCTX_FROM_DEFAULT_CONTEXT = 0x20000;
// Which bitness of server to start; at most one of the two.
constexpr DWORD CLSCTX_ACTIVATE_32_BIT_SERVER = 0x40000;
constexpr DWORD CLSCTX_ACTIVATE_64_BIT_SERVER = 0x80000;

// Use of a registered class object. There is one process to serve, so each
// of these serves every activation until the object is revoked.
constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;
constexpr DWORD REGCLS_MULTI_SEPARATE = 2;
constexpr DWORD REGCLS_AGILE = 0x10;

// Authentication service, authorisation service, level and impersonation
// level for COAUTHINFO.
constexpr DWORD RPC_C_AUTHN_WINNT = 10;
constexpr DWORD RPC_C_AUTHZ_NONE = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_CONNECT = 2;
constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr DWORD EOAC_NONE = 0;

// COAUTHIDENTITY::Flags: whether User, Domain and Password are 8-bit or
// UTF-16 text. The lengths count characters, without the terminating NUL.
constexpr ULONG SEC_WINNT_AUTH_IDENTITY_ANSI = 1;
constexpr ULONG SEC_WINNT_AUTH_IDENTITY_UNICODE = 2;

struct COAUTHIDENTITY {
    USHORT* User;
    ULONG UserLength;
    USHORT* Domain;
    ULONG DomainLength;
    USHORT* Password;
    ULONG PasswordLength;
    ULONG Flags;
};

struct COAUTHINFO {
    DWORD dwAuthnSvc;
    DWORD dwAuthzSvc;
    LPWSTR pwszServerPrincName;
    DWORD dwAuthnLevel;
    DWORD dwImpersonationLevel;
    COAUTHIDENTITY* pAuthIdentityData;
    DWORD dwCapabilities;
};

struct COSERVERINFO {
    DWORD dwReserved1;
    LPWSTR pwszName;
    COAUTHINFO* pAuthInfo;
    DWORD dwReserved2;
};

struct MULTI_QI {
    const IID* pIID;
    IUnknown* pItf;
    HRESULT hr;
};

// Counts this thread's initialisations: S_OK for the first, S_FALSE after.
// reserved must be null (E_INVALIDARG otherwise). Each successful call needs
// one CoUninitialize.
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();

// Puts a class object (normally an IClassFactory) in the process-wide table,
// holding a reference until CoRevokeClassObject(*cookie). A later
// registration of the same class id answers activations until it is revoked,
// so a test can stand its own object in for one the library registered.
// Unlike Windows the calling thread need not be initialised: the table
// belongs to the process and may be filled while a library loads. flags is
// one REGCLS use, optionally with REGCLS_AGILE; REGCLS_SUSPENDED and
// REGCLS_SURROGATE are not supported (E_INVALIDARG).
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD clsctx, DWORD flags, LPDWORD cookie);
// E_INVALIDARG when the cookie names no registration.
HRESULT CoRevokeClassObject(DWORD cookie);

// Creates an object and asks it for each interface in results. Every entry
// gets its own hr and (on success) one reference in pItf. The result is S_OK
// when every interface was found, CO_S_NOTALLINTERFACES when some were, and
// otherwise the failure (E_NOINTERFACE when the object has none of them).
// The factory is asked for IUnknown and the object then for each interface,
// so a missing first interface does not fail the others. Every failure,
// CO_E_NOTINITIALIZED included, is also set in each entry (pItf null).
// Exceptions of the remote handler pass to the caller.
//
// A serverInfo naming another machine goes to the remote activation handler.
// When none is installed, the module that the registry names as the class's
// remote activation (the default value of
// Software\Classes\CLSID\{clsid}\RemoteActivation), loaded as a local
// server's module is, may install one as it loads; without a handler the
// result is HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE). An outer object
// cannot aggregate a remote one: CLASS_E_NOAGGREGATION. A name with a port
// ("localhost:7406") names a server, not this machine. A null
// or empty name, "localhost", "127.0.0.1", "::1" or this host's name means
// this machine, where the class id is looked up in the registered class
// objects whatever the execution context asked for, since every server here
// runs in this process.
HRESULT CoCreateInstanceEx(REFCLSID clsid, IUnknown* outer, DWORD clsctx, COSERVERINFO* serverInfo,
                           DWORD count, MULTI_QI* results);

// Why the calling thread's last activation found no server to start for its
// class, or no remote activation module to load: the registry's problem with
// its store, or why the module the registry names was refused ("the module
// <name>: <cause>"). Empty when there was nothing to load or it loaded. Read
// right after CoCreateInstanceEx fails with REGDB_E_CLASSNOTREG or
// HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), as GetLastError is.
std::string CoLastLocalServerProblem();

// Activates on another machine. Receives the caller's arguments unchanged
// (after they were checked); must fill every entry of results and return the
// overall result as CoCreateInstanceEx does.
using RemoteActivationHandler = std::function<HRESULT(REFCLSID clsid, DWORD clsctx, COSERVERINFO* serverInfo,
                                                      DWORD count, MULTI_QI* results)>;

// Installs the handler (an empty one removes it) and returns the one it
// replaces.
RemoteActivationHandler SetRemoteActivationHandler(RemoteActivationHandler handler);
