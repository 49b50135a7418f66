// The library is built with its symbols hidden; only what carries ORVO_API is
// part of its binary interface.
#pragma once

#define ORVO_API __attribute__((visibility("default")))
