// The registered tanks: the engine's list and lifecycle operations, and the
// tidying of the machine's tank list in the registry.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <orvo/OrvoCI.h>
#include "client/core/CallFrame.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "protocol/Installation.h"

namespace {

constexpr DWORD kNameChars = 1000;
constexpr DWORD kDataBytes = 1000;

bool ReadCurrentDirectory(std::string& directory)
{
    const DWORD needed = GetCurrentDirectoryA(0, nullptr);
    if (needed == 0) {
        return false;
    }
    std::vector<char> buffer(needed);
    const DWORD length = GetCurrentDirectoryA(needed, buffer.data());
    // A directory changed in between to a longer one answers a size again.
    if (length == 0 || length >= needed) {
        return false;
    }
    directory.assign(buffer.data(), length);
    return true;
}

// Tank files are judged only on the storage the process works on: a tank on
// another drive or share may merely be unreachable at the moment, and
// removing it would lose its registration. On Windows that is the drive
// prefix of the current directory; here it is the filesystem (st_dev) of the
// nearest existing ancestor of the path against that of the current
// directory. A path that cannot be examined (no permission, too long, a
// loop) counts as unreachable.
bool OnDevice(const std::string& fullPath, dev_t device)
{
    std::filesystem::path at(fullPath);
    for (;;) {
        struct stat info {};
        // A relative path with no existing folder left lies in the current
        // directory, as every file access would take it.
        if (stat(at.empty() ? "." : at.c_str(), &info) == 0) {
            return info.st_dev == device;
        }
        if ((errno != ENOENT && errno != ENOTDIR) || at.empty()) {
            return false;
        }
        std::filesystem::path parent = at.parent_path();
        if (parent == at) {
            return false;
        }
        at = std::move(parent);
    }
}

bool IsMissing(const std::string& fullPath, dev_t device)
{
    if (PathFileExistsA(fullPath.c_str())) {
        return false;
    }
    for (const char* extension : {".nqa", ".nqb", ".nqc", ".nqd"}) {
        if (PathFileExistsA((fullPath + extension).c_str())) {
            return false;
        }
    }
    return OnDevice(fullPath, device);
}

}  // namespace

int OrvoCI::AddTank(CString name, CString path)
{
    if (!m_engine || name.IsEmpty()) {
        return 0;
    }
    return m_engine->AddTank(BStr(name).get(), BStr(path).get());
}

int OrvoCI::RemoveTank(CString name)
{
    return m_engine ? m_engine->RemoveTank(BStr(name).get()) : 0;
}

CString OrvoCI::GetEnumTank(LONG index)
{
    if (!m_engine) {
        return CString();
    }
    BStr text;
    return orvo::TextResult(m_engine->GetEnumTank(index, text.out()), text);
}

CString OrvoCI::GetTankItem(CString tank, CString item)
{
    if (!m_engine) {
        return CString();
    }
    BStr text;
    return orvo::TextResult(
        m_engine->GetTankItem(BStr(tank).get(), BStr(item).get(), text.out()), text);
}

int OrvoCI::ResetTank(CString name)
{
    return m_engine ? m_engine->ResetTank(BStr(name).get()) : 0;
}

LONG OrvoCI::CheckTank(CString name)
{
    return m_engine ? m_engine->CheckTank(BStr(name).get()) : 0;
}

int OrvoCI::InitializeTank(CString name)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->InitializeTank(BStr(name).get());
}

int OrvoCI::OpenTank(CString name, LONG mode)
{
    // Read notices and descriptors name the tank asked for, even one that
    // could not be opened.
    m_tankName = name;
    if (!HasClient()) {
        return 0;
    }
    return m_engine->OpenTank(m_clientId, BStr(name).get(), mode);
}

void OrvoCI::CloseTank()
{
    if (HasClient()) {
        m_engine->CloseTank(m_clientId);
    }
}

LONG OrvoCI::GetStatus(LONG code)
{
    if (!HasClient()) {
        return 0;
    }
    return m_engine->GetStatus(m_clientId, code);
}

int OrvoCI::RemoveInvalidTanks()
{
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, orvo::kTankListKey, 0, KEY_ALL_ACCESS, key.put()) !=
        ERROR_SUCCESS) {
        return 0;
    }
    std::string directory;
    struct stat here {};
    if (!ReadCurrentDirectory(directory) || stat(directory.c_str(), &here) != 0) {
        return 0;
    }

    // Deleting while enumerating by index would shift the values after it
    // and skip one, so the names are collected first.
    std::vector<std::string> missing;
    for (DWORD index = 0;; ++index) {
        char name[kNameChars];
        DWORD nameChars = kNameChars;
        if (RegEnumValueA(key.get(), index, name, &nameChars, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS) {
            break;
        }
        char data[kDataBytes];
        DWORD dataBytes = kDataBytes;
        if (RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                             &dataBytes) != ERROR_SUCCESS) {
            break;
        }
        // The stored folder ends with its own separator: none is put between.
        const std::string fullPath = std::string(data, strnlen(data, dataBytes)) + name;
        if (IsMissing(fullPath, here.st_dev)) {
            missing.emplace_back(name);
        }
    }

    bool removed = false;
    for (const std::string& name : missing) {
        removed = RegDeleteValueA(key.get(), name.c_str()) == ERROR_SUCCESS || removed;
    }
    return removed ? 1 : 0;
}
