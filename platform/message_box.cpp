#include "platform/message_box.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/modules.h"

namespace {

int ShowOnStandardError(const char* text, const char* caption, UINT)
{
    std::fprintf(stderr, "%s: %s\n", caption, text);
    return IDOK;
}

// The handler is held by shared_ptr so a box can be shown without holding
// the lock (a handler may itself show a box or swap the handler) and without
// copying the std::function, which could throw.
struct HandlerSlot {
    std::mutex mutex;
    std::shared_ptr<const MessageBoxHandler> handler =
        std::make_shared<const MessageBoxHandler>(ShowOnStandardError);
};

HandlerSlot& Slot()
{
    // Never destroyed: boxes may still be shown from static destructors.
    static HandlerSlot* slot = new HandlerSlot;
    return *slot;
}

std::shared_ptr<const MessageBoxHandler> CurrentHandler()
{
    HandlerSlot& slot = Slot();
    std::lock_guard lock(slot.mutex);
    return slot.handler;
}

}  // namespace

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    if (!handler) {
        handler = ShowOnStandardError;
    }
    auto next = std::make_shared<const MessageBoxHandler>(std::move(handler));
    HandlerSlot& slot = Slot();
    std::shared_ptr<const MessageBoxHandler> previous;
    {
        std::lock_guard lock(slot.mutex);
        previous = std::exchange(slot.handler, std::move(next));
    }
    return *previous;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type)
{
    // Windows shows a missing title as "Error" and a missing text as empty.
    return (*CurrentHandler())(text != nullptr ? text : "", caption != nullptr ? caption : "Error", type);
}

int AfxMessageBox(LPCSTR text, UINT type)
{
    const std::string caption = std::filesystem::path(ModulePath(nullptr)).filename().string();
    return MessageBoxA(nullptr, text, caption.c_str(), type);
}
