#include "client/OrvoCI.h"

#include "platform/com.h"

namespace {
constexpr unsigned short kNotifierPort = 41257;
}

OrvoCI::OrvoCI() : m_notifier(kNotifierPort)
{
    CoInitialize(nullptr);
}

OrvoCI::~OrvoCI() = default;
