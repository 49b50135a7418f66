// The client reaching into the engine.
#include "tankengine/server/TankEngine.h"
