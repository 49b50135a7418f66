#include "platform/format_message.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include <orvo/platform/errors.h>

namespace {

struct Message {
    ULONG id;
    const char* text;
};

constexpr ULONG Bits(HRESULT hr) { return static_cast<ULONG>(hr); }

// The texts Windows gives in English, line break included, for every code
// this layer returns. HRESULTs that wrap a Win32 code (E_INVALIDARG and the
// like) are found through the Win32 code, as HRESULT_FROM_WIN32 codes are.
// S_FALSE is 1, which is ERROR_INVALID_FUNCTION, and so reads as that.
constexpr Message kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
    {ERROR_NO_UNICODE_TRANSLATION,
     "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {RPC_S_SERVER_UNAVAILABLE, "The RPC server is unavailable.\r\n"},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND, "The specified resource language ID cannot be found in the image file.\r\n"},
    {Bits(CO_S_NOTALLINTERFACES), "Not all the requested interfaces were available\r\n"},
    {Bits(E_NOTIMPL), "Not implemented\r\n"},
    {Bits(E_NOINTERFACE), "No such interface supported\r\n"},
    {Bits(E_POINTER), "Invalid pointer\r\n"},
    {Bits(E_FAIL), "Unspecified error\r\n"},
    {Bits(E_UNEXPECTED), "Catastrophic failure\r\n"},
    {Bits(DISP_E_BADVARTYPE), "Bad variable type.\r\n"},
    {Bits(DISP_E_BADINDEX), "Invalid index.\r\n"},
    {Bits(DISP_E_ARRAYISLOCKED), "Memory is locked.\r\n"},
    {Bits(CLASS_E_NOAGGREGATION), "Class does not support aggregation (or class object is remote)\r\n"},
    {Bits(CLASS_E_CLASSNOTAVAILABLE), "ClassFactory cannot supply requested class\r\n"},
    {Bits(REGDB_E_CLASSNOTREG), "Class not registered\r\n"},
    {Bits(CO_E_NOTINITIALIZED), "CoInitialize has not been called.\r\n"},
};

const char* SystemText(DWORD id)
{
    auto find = [](ULONG wanted) -> const char* {
        for (const Message& message : kSystemMessages) {
            if (message.id == wanted) {
                return message.text;
            }
        }
        return nullptr;
    };
    if (const char* text = find(id)) {
        return text;
    }
    constexpr ULONG kWin32Facility = 0x80070000u;
    return (id & 0xFFFF0000u) == kWin32Facility ? find(id & 0xFFFFu) : nullptr;
}

bool IsEnglish(DWORD languageId)
{
    return languageId == 0 || languageId == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
           languageId == MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT) ||
           languageId == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

// The argument for insert number (1-based), or nullopt when there are none.
std::optional<const char*> Insert(unsigned number, va_list* args, bool argumentArray)
{
    if (args == nullptr) {
        return std::nullopt;
    }
    const char* value = nullptr;
    if (argumentArray) {
        value = reinterpret_cast<const char* const*>(args)[number - 1];
    } else {
        // Every insert is a string, so the earlier arguments can be skipped
        // as pointers; a copy leaves the caller's list where it was.
        va_list walk;
        va_copy(walk, *args);
        for (unsigned i = 0; i < number; ++i) {
            value = va_arg(walk, const char*);
        }
        va_end(walk);
    }
    return value != nullptr ? value : "(null)";
}

// Expands the text as flags ask. Returns false (with the last error set) for
// inserts it cannot fill.
bool Expand(std::string_view text, DWORD flags, va_list* args, std::string& out)
{
    const bool joinLines = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const bool inserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (joinLines && text.substr(i, 2) == "\r\n") {
            out += ' ';
            ++i;
            continue;
        }
        if (c != '%' || !inserts || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const char next = text[++i];
        if (next == '0') {
            return true;
        }
        if (next == 'n') {
            out += "\r\n";
            continue;
        }
        if (next < '1' || next > '9') {
            out += next;
            continue;
        }
        unsigned number = static_cast<unsigned>(next - '0');
        if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') {
            number = number * 10 + static_cast<unsigned>(text[++i] - '0');
        }
        if (text.substr(i + 1, 3) == "!s!") {
            i += 3;
        } else if (i + 1 < text.size() && text[i + 1] == '!') {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        std::optional<const char*> value = Insert(number, args, (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0);
        if (!value) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        out += *value;
    }
    return true;
}

DWORD Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

}  // namespace

HLOCAL LocalFree(HLOCAL memory)
{
    std::free(memory);
    return nullptr;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* args)
{
    const bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    LPSTR* allocated = reinterpret_cast<LPSTR*>(buffer);
    if (buffer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (allocate) {
        *allocated = nullptr;
    }
    if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0 ||
        (flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE)) == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // A module's own table would be searched here first; ours have none.
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) {
        return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    const char* text = SystemText(messageId);
    if (text == nullptr) {
        return Fail(ERROR_MR_MID_NOT_FOUND);
    }
    if (!IsEnglish(languageId)) {
        return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    }

    std::string message;
    try {
        if (!Expand(text, flags, args, message)) {
            return 0;
        }
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    // The length is returned as a DWORD, and the NUL must fit too.
    if (message.size() >= std::numeric_limits<DWORD>::max()) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    const std::size_t needed = message.size() + 1;
    if (allocate) {
        auto* memory = static_cast<char*>(std::malloc(std::max<std::size_t>(needed, size)));
        if (memory == nullptr) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        std::memcpy(memory, message.c_str(), needed);
        *allocated = memory;
    } else {
        if (size < needed) {
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, message.c_str(), needed);
    }
    return static_cast<DWORD>(message.size());
}
