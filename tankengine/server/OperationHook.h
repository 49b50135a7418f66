// Tests only: a function the engine calls, when one is set, at the start of
// every operation's body, under the client's lock, with the operation's
// name. A test sets one that throws to see the call frame turn the exception
// into the operation's failure, or one that waits to stand for slow disk
// work.
#pragma once

#include <atomic>
#include <string_view>

namespace orvo::engine {

using OperationHook = void (*)(std::string_view operation);
extern std::atomic<OperationHook> g_operationHookForTests;

}  // namespace orvo::engine
