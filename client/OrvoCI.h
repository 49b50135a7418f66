// The client object: an application's connection to a tank engine.
//
// Not copyable: a copy would share the engine connection, the buffers and
// the UDP sender with its source, and both would release them.
#pragma once

#include "engine/CUDPSocket.h"

class OrvoCI {
public:
    OrvoCI();
    virtual ~OrvoCI();
    OrvoCI(const OrvoCI&) = delete;
    OrvoCI& operator=(const OrvoCI&) = delete;

private:
    // Sends the read notice; made on the port that listeners of the notice
    // expect.
    CUDPSocket m_notifier;
};
