#include "tankengine/server/Text.h"

#include <orvo/platform/bstr.h>
#include "platform/ansi.h"

#include <limits>

namespace orvo::engine {

std::string FromBstr(BSTR text)
{
    return text == nullptr ? std::string() : WideToAnsi(std::u16string_view(text, SysStringLen(text)));
}

bool Deliver(BSTR* out, std::string_view text)
{
    if (out == nullptr) {
        return true;
    }
    std::u16string wide = AnsiToWide(text);
    if (wide.size() > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) {
        return false;
    }
    *out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return *out != nullptr;
}

tank::Result<LONG> DeliverAnswer(BSTR* out, std::string_view text)
{
    if (!Deliver(out, text)) {
        return tank::Fail(tank::ErrorKind::kOutOfMemory, "out of memory");
    }
    return 1;
}

}  // namespace orvo::engine
