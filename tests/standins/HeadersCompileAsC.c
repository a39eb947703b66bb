/* Compiled as C so that a C host can use the stand-ins' headers. */
#include "BitData.h"
#include "StandInServices.h"
