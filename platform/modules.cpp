#include "platform/modules.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <orvo/platform/errors.h>
#include "platform/files.h"

namespace {

// The modules this layer opened, by base address, with the loader's handle
// and how many loads FreeLibrary has yet to undo. Each load is one dlopen and
// each FreeLibrary one dlclose, so the loader's own count decides when a
// module really goes.
struct Loaded {
    void* handle;
    std::size_t loads;
};

struct ModuleState {
    std::mutex mutex;
    std::map<std::uintptr_t, Loaded> loaded;
    std::string dllDirectory;
};

ModuleState& State()
{
    // Never destroyed: modules may be freed from static destructors.
    static ModuleState* state = new ModuleState;
    return *state;
}

std::uintptr_t BaseOf(HMODULE module) { return reinterpret_cast<std::uintptr_t>(module); }
HMODULE ModuleAt(std::uintptr_t base) { return reinterpret_cast<HMODULE>(base); }

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

std::optional<std::string> ExecutablePath()
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return path.string();
}

// Relative names are taken from the current folder, as the loader would.
std::filesystem::path Absolute(const char* name)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(name, error).lexically_normal();
    return error ? std::filesystem::path(name) : path;
}

struct Mapped {
    std::uintptr_t base;
    std::string path;
    bool executable;
};

// Every mapped object, the executable first, each at the address of its
// first mapped page: the address dladdr reports as the object's base.
std::vector<Mapped> MappedModules()
{
    struct Walk {
        std::vector<Mapped> modules;
        std::uintptr_t pageMask;
        bool failed = false;
    } walk{{}, ~(static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)) - 1)};

    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) -> int {
            auto& walk = *static_cast<Walk*>(data);
            std::uintptr_t lowest = UINTPTR_MAX;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest) {
                    lowest = info->dlpi_phdr[i].p_vaddr;
                }
            }
            if (lowest == UINTPTR_MAX) {
                return 0;
            }
            try {
                // The loader keeps the name it searched with, which may hold
                // "dir/../" from an $ORIGIN-relative RUNPATH.
                std::string path = info->dlpi_name != nullptr ? info->dlpi_name : "";
                if (!path.empty() && path.front() == '/') {
                    path = std::filesystem::path(path).lexically_normal().string();
                }
                walk.modules.push_back({info->dlpi_addr + (lowest & walk.pageMask), std::move(path),
                                        walk.modules.empty()});
            } catch (const std::bad_alloc&) {
                walk.failed = true;
                return 1;
            }
            return 0;
        },
        &walk);
    if (walk.failed) {
        throw std::bad_alloc();
    }
    if (!walk.modules.empty()) {
        // The executable is listed without a name.
        std::optional<std::string> executable = ExecutablePath();
        walk.modules.front().path = executable.value_or("");
    }
    return walk.modules;
}

std::optional<Mapped> MappedAt(std::uintptr_t base)
{
    for (Mapped& module : MappedModules()) {
        if (module.base == base) {
            return std::move(module);
        }
    }
    return std::nullopt;
}

// A name with a "/" must be the full path of the module; a bare name its
// file name. The first module loaded under that name wins.
std::optional<Mapped> MappedNamed(const char* name)
{
    std::vector<Mapped> modules = MappedModules();
    if (name == nullptr) {
        return modules.empty() ? std::nullopt : std::optional<Mapped>(std::move(modules.front()));
    }
    const bool bare = std::strchr(name, '/') == nullptr;
    const std::filesystem::path wanted = bare ? std::filesystem::path(name) : Absolute(name);
    for (Mapped& module : modules) {
        std::filesystem::path path(module.path);
        if ((bare ? path.filename() : path) == wanted) {
            return std::move(module);
        }
    }
    return std::nullopt;
}

// The base address of an object the loader opened.
std::optional<std::uintptr_t> BaseOfHandle(void* handle)
{
    link_map* map = nullptr;
    Dl_info info{};
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_ld == nullptr ||
        dladdr(map->l_ld, &info) == 0 || info.dli_fbase == nullptr) {
        return std::nullopt;
    }
    return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

// Opens an object that is already mapped, for a reference or a symbol.
void* OpenMapped(const Mapped& module, int mode)
{
    return dlopen(module.executable ? nullptr : module.path.c_str(), mode | RTLD_NOLOAD);
}

// The loader searches the RUNPATH of the object that calls it, which is
// meant to be this library (built beside the project's other libraries). A
// tool that interposes dlopen (the sanitizers do) becomes that caller
// instead; they leave dlmopen alone, and in the base namespace it loads
// exactly as dlopen would.
void* Load(const char* name, int mode) { return dlmopen(LM_ID_BASE, name, mode); }

// Counts one more load of the object at base, which handle (one dlopen of
// the caller's) keeps open. On failure the caller's dlopen is undone.
bool RememberLoad(std::uintptr_t base, void* handle)
{
    ModuleState& state = State();
    try {
        std::lock_guard lock(state.mutex);  // released before the catch below
        ++state.loaded.try_emplace(base, Loaded{handle, 0}).first->second.loads;
        return true;
    } catch (const std::bad_alloc&) {
        dlclose(handle);
        return false;
    }
}

}  // namespace

BOOL GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module)
{
    constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    constexpr DWORD kPinAndUnchanged =
        GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (module == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *module = nullptr;
    if ((flags & ~kKnown) != 0 || (flags & kPinAndUnchanged) == kPinAndUnchanged) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    try {
        std::optional<Mapped> found;
        if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
            Dl_info info{};
            if (nameOrAddress != nullptr && dladdr(nameOrAddress, &info) != 0 && info.dli_fbase != nullptr) {
                found = MappedAt(reinterpret_cast<std::uintptr_t>(info.dli_fbase));
            }
        } else {
            found = MappedNamed(nameOrAddress);
        }
        if (!found) {
            return Fail(ERROR_MOD_NOT_FOUND);
        }
        if ((flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0) {
            const bool pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0;
            void* handle = OpenMapped(*found, RTLD_LAZY | (pin ? RTLD_NODELETE : 0));
            if (handle == nullptr) {
                return Fail(ERROR_MOD_NOT_FOUND);
            }
            if (pin) {
                // RTLD_NODELETE stays on the object after this handle closes,
                // which is all pinning means.
                dlclose(handle);
            } else if (!RememberLoad(found->base, handle)) {
                return Fail(ERROR_NOT_ENOUGH_MEMORY);
            }
        }
        *module = ModuleAt(found->base);
        return TRUE;
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

std::string ModulePath(HMODULE module)
{
    std::optional<std::string> path;
    if (module == nullptr) {
        path = ExecutablePath();
    } else if (std::optional<Mapped> found = MappedAt(BaseOf(module))) {
        path = std::move(found->path);
    }
    return path.value_or("");
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    if (fileName == nullptr && size != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    std::string path;
    try {
        path = ModulePath(module);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (path.empty()) {
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    if (path.size() < size) {
        std::memcpy(fileName, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    if (size != 0) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

std::string PlatformLibraryFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PlatformLibraryFolder), &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] != '/') {
        return "";
    }
    return std::filesystem::path(info.dli_fname).lexically_normal().parent_path().string();
}

BOOL SetDllDirectoryA(LPCSTR path)
{
    ModuleState& state = State();
    try {
        std::string folder = path != nullptr ? path : "";
        std::lock_guard lock(state.mutex);
        state.dllDirectory = std::move(folder);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

HMODULE LoadLibraryA(LPCSTR fileName) { return LoadLibraryExA(fileName, nullptr, 0); }

HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE reserved, DWORD flags)
{
    if (fileName == nullptr || reserved != nullptr ||
        (flags & ~(DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE)) != 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // An empty name would give the executable's handle from dlopen.
    if (fileName[0] == '\0') {
        Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Binding every symbol at once fails the load on a missing one, as the
    // Windows loader does; skipping references is the nearest to lazy binding.
    const int mode = RTLD_LOCAL | ((flags & DONT_RESOLVE_DLL_REFERENCES) != 0 ? RTLD_LAZY : RTLD_NOW);
    void* handle = nullptr;
    try {
        if (std::strchr(fileName, '/') != nullptr) {
            // Made absolute now, so that later changes of folder do not change
            // which file this name means, and GetModuleFileNameA gives a full path.
            handle = Load(Absolute(fileName).c_str(), mode);
        } else {
            std::string inFolder;
            {
                ModuleState& state = State();
                std::lock_guard lock(state.mutex);
                if (!state.dllDirectory.empty()) {
                    inFolder = state.dllDirectory + "/" + fileName;
                }
            }
            // A file in the folder is the module meant, even if it fails to load.
            if (!inFolder.empty() && access(inFolder.c_str(), F_OK) == 0) {
                handle = Load(inFolder.c_str(), mode);
            } else {
                handle = Load(fileName, mode);
            }
        }
    } catch (const std::bad_alloc&) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (handle == nullptr) {
        Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::optional<std::uintptr_t> base = BaseOfHandle(handle);
    if (!base) {
        dlclose(handle);
        Fail(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!RememberLoad(*base, handle)) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return ModuleAt(*base);
}

HMODULE LoadTrustedLibrary(const std::string& fileName, std::string& refusal)
{
    refusal.clear();
    const auto refuse = [&](const std::string& cause) -> HMODULE {
        refusal = "the module " + fileName + ": " + cause;
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    };
    if (fileName.empty() || fileName.front() != '/') {
        // The loader's search or the current folder would decide what runs.
        return refuse("not an absolute path");
    }
    // The real file and folder, so that a link cannot lead past the checks.
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(fileName, error);
    if (error) {
        return refuse(error == std::errc::no_such_file_or_directory ? "does not exist" : error.message());
    }
    if (const std::string untrusted = UntrustedBecause(real.string()); !untrusted.empty()) {
        return refuse(untrusted);
    }
    const std::string folder = real.parent_path().string();
    if (const std::string untrusted = UntrustedBecause(folder); !untrusted.empty()) {
        return refuse("its folder " + folder + ": " + untrusted);
    }
    return LoadLibraryA(real.c_str());
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (module == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Values below 0x10000 are export ordinals, which shared objects do not have.
    if (reinterpret_cast<std::uintptr_t>(procName) <= 0xFFFF) {
        Fail(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    const std::uintptr_t base = BaseOf(module);
    void* handle = nullptr;
    bool temporary = false;
    {
        ModuleState& state = State();
        std::lock_guard lock(state.mutex);
        if (auto entry = state.loaded.find(base); entry != state.loaded.end()) {
            handle = entry->second.handle;
        }
    }
    if (handle == nullptr) {
        // A module this layer did not load, such as one found by address.
        try {
            if (std::optional<Mapped> found = MappedAt(base)) {
                handle = OpenMapped(*found, RTLD_LAZY);
                temporary = true;
            }
        } catch (const std::bad_alloc&) {
            Fail(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (handle == nullptr) {
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    void* symbol = dlsym(handle, procName);
    // dlsym also searches the module's dependencies; GetProcAddress finds
    // only what the module itself exports.
    Dl_info info{};
    const bool own = symbol != nullptr && dladdr(symbol, &info) != 0 &&
                     reinterpret_cast<std::uintptr_t>(info.dli_fbase) == base;
    if (temporary) {
        dlclose(handle);
    }
    if (!own) {
        Fail(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module)
{
    void* handle = nullptr;
    {
        ModuleState& state = State();
        std::lock_guard lock(state.mutex);
        auto entry = state.loaded.find(BaseOf(module));
        if (entry == state.loaded.end()) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        handle = entry->second.handle;
        if (--entry->second.loads == 0) {
            state.loaded.erase(entry);
        }
    }
    // Outside the lock: the module's destructors may load or free others.
    dlclose(handle);
    return TRUE;
}
