// A public header that would not compile once installed.
#include <orvo/platform/types.h>
#include "client/core/CallFrame.h"
