#include "Orbisto.h"

#include <new>

extern "C" CAbstractTurntableController *NXSDK_RegisterTurntableController()
{
    return new (std::nothrow) COrbisto;
}
