// The engine using the client library.
#include <orvo/OrvoCI.h>
