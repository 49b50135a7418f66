// Reads the first second of one channel of a stream and prints how many
// samples came back and the first of them.
//
//   read-waves [TANK [BLOCK [STORE [CHANNEL]]]]   (OrvoDemo Block-1 Wav1 3)
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <orvo/OrvoCI.h>
#include <orvo/platform/safearray.h>

int main(int argc, char** argv)
{
    const char* tank = argc > 1 ? argv[1] : "OrvoDemo";
    const char* block = argc > 2 ? argv[2] : "Block-1";
    const CString store = argc > 3 ? argv[3] : "Wav1";
    const int channel = argc > 4 ? std::atoi(argv[4]) : 3;

    OrvoCI client;
    if (client.ConnectServer("", "ReadWaves") < 1 || !client.OpenTank(tank, 'R') || !client.SelectBlock(block)) {
        std::fprintf(stderr, "read-waves: %s\n", client.GetError().GetString());
        return 1;
    }
    client.SetGlobal(2, channel);  // "Channel"
    client.SetGlobal(5, 1.0);      // "T2": up to 1 s
    // A store's code packs its four characters, the first in the lowest byte.
    std::uint32_t code = 0;
    for (int i = 0; i < store.GetLength() && i < 4; ++i) {
        code |= std::uint32_t{static_cast<unsigned char>(store[i])} << (8 * i);
    }

    Variant waves;
    LONG last = -1;
    const bool read = client.GetWaves(static_cast<LONG>(code), waves.out()) >= 1 && SafeArrayGetUBound(waves->parray, 1, &last) == S_OK;
    if (read) {
        std::printf("%ld samples, the first %g V\n", static_cast<long>(last + 1),
                    static_cast<const float*>(waves->parray->pvData)[0]);
    } else {
        std::fprintf(stderr, "read-waves: %s\n", client.GetError().GetString());
    }
    return read ? 0 : 1;
}
