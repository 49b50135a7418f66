// What an installation of this system puts in the machine registry, shared by
// the client library, the tank engine and the tools so that each names the
// same keys: the server list, the tank list, the installation folder, and
// the tank engine's class with the module that serves it.
#pragma once

#include <orvo/platform/types.h>

namespace orvo {

// One value per known engine server, named after it.
inline constexpr const char* kServerListKey = "Software\\Kivra\\Orvo\\EnumServers";
// One value per registered tank: its name, holding its folder.
inline constexpr const char* kTankListKey = "Software\\Kivra\\Orvo\\EnumTanks";

// The installation folder is the value kBasePathValue of the key made from
// kInstallationKeyFormat and the first of kInstallationNames that has it.
inline constexpr const char* kInstallationKeyFormat = "SOFTWARE\\Kivratech\\%s";
inline constexpr const char* kInstallationNames[] = {"Kivra Drivers", "OrvoMin"};
inline constexpr const char* kBasePathValue = "BasePath";
inline constexpr const char* kDefaultBasePath = "/opt/Kivra";

// {6F52564F-0001-4E47-9A3C-54414E4B454E}
inline constexpr CLSID CLSID_TankEngine = {
    0x6F52564F, 0x0001, 0x4E47, {0x9A, 0x3C, 0x54, 0x41, 0x4E, 0x4B, 0x45, 0x4E}};
// Where local activation finds the module serving CLSID_TankEngine: the
// default value of this key names it.
inline constexpr const char* kTankEngineServerKey =
    "Software\\Classes\\CLSID\\{6F52564F-0001-4E47-9A3C-54414E4B454E}\\LocalServer32";
// The engine module's file name; it is installed beside the platform library
// and registered by its full path there. Earlier installations registered
// this bare name, for the loader to search.
inline constexpr const char* kTankEngineModule = "libOrvoTankEngine.so";

// Where activation on another machine finds the module that reaches engines
// there for CLSID_TankEngine, and that module's file name, installed beside
// the platform library.
inline constexpr const char* kTankEngineRemoteKey =
    "Software\\Classes\\CLSID\\{6F52564F-0001-4E47-9A3C-54414E4B454E}\\RemoteActivation";
inline constexpr const char* kTankEngineRemoteModule = "libOrvoRemote.so";

// Writes what is missing of the above, as an installer would: the server-list
// and tank-list keys, and the registrations of the engine and of the remote
// module, the full paths of kTankEngineModule and kTankEngineRemoteModule
// beside the platform library. Existing keys and values are
// left as they are, so a machine's own registration wins; only the bare name
// of earlier installations is replaced by the full path. ERROR_SUCCESS, or the
// registry's error (a store this process may only read, say), or
// ERROR_MOD_NOT_FOUND when the platform library's folder is unknown.
LONG RegisterInstallation();

}  // namespace orvo
