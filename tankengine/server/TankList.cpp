#include "tankengine/server/TankList.h"

#include <orvo/platform/errors.h>
#include "platform/registry.h"
#include "protocol/Installation.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace orvo::engine {
namespace {

using enum tank::ErrorKind;

// Names and folders longer than this are not ours to read back.
constexpr DWORD kMaxTextBytes = 1 << 16;

// Why a registry call just failed: the registry's own account naming its
// file when the file was at fault, else the code.
std::string RegistryReason(LONG error)
{
    std::string problem = RegLastStoreProblem();
    return problem.empty() ? "registry error " + std::to_string(error) : problem;
}

std::string RegistryError(const char* what, std::string_view name, LONG error)
{
    return std::string(what) + " \"" + std::string(name) + "\" in the tank list failed (" + RegistryReason(error) +
           ")";
}

// A text for the registry: one with a NUL inside would be cut short there.
bool Storable(std::string_view text)
{
    return text.find('\0') == std::string_view::npos && text.size() < kMaxTextBytes;
}

}  // namespace

tank::Status RegisterTank(std::string_view name, std::string_view folder)
{
    if (!Storable(name) || !Storable(folder)) {
        return tank::Fail(kInvalidArgument, "a tank name or folder holds a NUL or is longer than 65535 bytes");
    }
    UniqueHKey key;
    LONG error = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTankListKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (error == ERROR_SUCCESS) {
        std::string data(folder);
        error = RegSetValueExA(key.get(), std::string(name).c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(data.c_str()), static_cast<DWORD>(data.size() + 1));
    }
    return error == ERROR_SUCCESS ? tank::Status() : tank::Fail(kIoError, RegistryError("registering", name, error));
}

tank::Status UnregisterTank(std::string_view name)
{
    UniqueHKey key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTankListKey, 0, KEY_SET_VALUE, key.put());
    if (error == ERROR_SUCCESS) {
        error = RegDeleteValueA(key.get(), std::string(name).c_str());
    }
    if (error == ERROR_FILE_NOT_FOUND) {
        return tank::Fail(kNotFound, "tank \"" + std::string(name) + "\" is not registered");
    }
    return error == ERROR_SUCCESS ? tank::Status() : tank::Fail(kIoError, RegistryError("removing", name, error));
}

tank::Result<std::string> RegisteredTankAt(long index)
{
    if (index < 0 || index > static_cast<long>(std::numeric_limits<DWORD>::max())) {
        return tank::Fail(kInvalidArgument, "tank index " + std::to_string(index) + " is negative or too large");
    }
    UniqueHKey key;
    LONG error = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTankListKey, 0, KEY_QUERY_VALUE, key.put());
    std::vector<char> name(256);
    while (error == ERROR_SUCCESS) {
        DWORD chars = static_cast<DWORD>(name.size());
        error = RegEnumValueA(key.get(), static_cast<DWORD>(index), name.data(), &chars, nullptr, nullptr,
                              nullptr, nullptr);
        if (error == ERROR_SUCCESS) {
            return std::string(name.data(), chars);
        }
        if (error == ERROR_MORE_DATA && name.size() < kMaxTextBytes) {
            name.resize(name.size() * 2);
            error = ERROR_SUCCESS;
        }
    }
    if (error == ERROR_NO_MORE_ITEMS || error == ERROR_FILE_NOT_FOUND) {
        return tank::Fail(kNotFound, "no registered tank at index " + std::to_string(index));
    }
    return tank::Fail(kIoError, "reading the tank list failed (" + RegistryReason(error) + ")");
}

std::optional<std::string> RegisteredFolder(std::string_view name)
{
    UniqueHKey key;
    if (!Storable(name) ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTankListKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string valueName(name);
    DWORD bytes = 0;
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes > kMaxTextBytes) {
        return std::nullopt;
    }
    std::string data(bytes, '\0');
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                         &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    // The folder is text up to its first NUL, however the value was written.
    data.resize(std::min<std::size_t>(bytes, data.find('\0')));
    return data;
}

}  // namespace orvo::engine
