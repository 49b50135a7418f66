// A short tour of what the library does so far: it finds its installation
// folder, loads its support library from there on first use and logs it,
// keeps the machine's registry, and moves text and arrays in the forms the
// tank engine exchanges.
//
//   orvo-tour [BASE]   with BASE, first makes BASE the installation folder
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include <unistd.h>

#include "Shared/BasePath.h"
#include "client/OrvoCI.h"
#include "platform/com_error.h"
#include "platform/bstr.h"
#include "platform/registry.h"
#include "platform/safearray.h"
#include "platform/variant.h"

namespace {

bool StoreBasePath(const std::string& folder)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kivratech\\OrvoMin", 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegSetValueExA(key, "BasePath", 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(folder.c_str()),
                                       static_cast<DWORD>(folder.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

int CountValues(const char* keyName)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
        return -1;
    }
    int count = 0;
    for (;; ++count) {
        char name[1000];
        DWORD nameChars = sizeof name;
        if (RegEnumValueA(key, static_cast<DWORD>(count), name, &nameChars, nullptr, nullptr,
                          nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
    }
    RegCloseKey(key);
    return count;
}

void ShowLogFile(const std::filesystem::path& logs)
{
    if (!std::filesystem::is_directory(logs)) {
        std::cout << "No log: the folder " << logs.string() << " does not exist.\n";
        return;
    }
    // Normal lines are buffered; they reach the file when the program ends.
    std::cout << "Log file: " << logs.string() << "/orvo-tour." << getpid()
              << ".libOrvoCI.Release.log\n";
}

void ShowEventRows()
{
    // The engine hands back N event rows of W words, declared (N, W): the
    // descriptor stores the bounds the other way round, the words first.
    constexpr ULONG kWords = 12;
    constexpr ULONG kRows = 3;
    SAFEARRAYBOUND bounds[2] = {{kRows, 0}, {kWords, 0}};
    VARIANT rows;
    VariantInit(&rows);
    rows.vt = VT_ARRAY | VT_I4;
    rows.parray = SafeArrayCreate(VT_I4, 2, bounds);
    if (rows.parray == nullptr) {
        std::cout << "Could not make an array.\n";
        return;
    }
    LONG lastRow = 0;
    LONG lastWord = 0;
    SafeArrayGetUBound(rows.parray, 1, &lastRow);
    SafeArrayGetUBound(rows.parray, 2, &lastWord);
    VARIANT copy;
    VariantInit(&copy);
    VariantCopy(&copy, &rows);
    std::cout << "Event rows: " << rows.parray->rgsabound[1].cElements << " rows of "
              << rows.parray->rgsabound[0].cElements << " words (upper bounds " << lastRow
              << " and " << lastWord << "), copied deeply: "
              << (copy.parray != rows.parray && copy.parray->pvData != rows.parray->pvData
                      ? "yes"
                      : "no")
              << "\n";
    VariantClear(&copy);
    VariantClear(&rows);
}

void ShowText()
{
    const std::string text = "Wav1 \xC2\xB5V";  // "Wav1 µV"
    const BStr wide(text);
    std::cout << "Text \"" << text << "\": " << text.size() << " bytes, " << SysStringLen(wide.get())
              << " UTF-16 characters, back to \"" << BstrToAnsi(wide.get()) << "\"\n";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2) {
        std::cerr << "usage: orvo-tour [BASE]\n";
        return 2;
    }
    if (argc == 2 && !StoreBasePath(argv[1])) {
        std::cerr << "orvo-tour: cannot store the installation folder in the registry\n";
        return 1;
    }
    const std::filesystem::path base = ResolveBasePath();
    std::error_code ignored;
    std::filesystem::create_directories(base / "exe.logs", ignored);
    std::cout << "Installation folder: " << base.string() << "\n";

    try {
        // The first client object loads the support library for its UDP
        // sender, from <base>/lib64 when it is there.
        { OrvoCI client; }
        ShowLogFile(base / "exe.logs");
        std::cout << "Registry: server list " << CountValues("Software\\Kivra\\Orvo\\EnumServers")
                  << " entries, tank list " << CountValues("Software\\Kivra\\Orvo\\EnumTanks")
                  << " entries\n";
        ShowEventRows();
        ShowText();
    } catch (const ComError& error) {
        std::cerr << "orvo-tour: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
