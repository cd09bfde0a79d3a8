// The runtime's I/O library: process, loop, coroutines, maps, memory,
// reports, addresses, time and checksums.
#pragma once

#include "kiv/base.h"
#include "kiv/loop.h"
#include "kiv/map.h"
