// Indices of the discovery operations, as counted by the discovery metrics.
// The values index per-operation metric children, so they are dense and the
// order is fixed.
#pragma once

#include <stdint.h>

enum discov_op : uint32_t {
    DISCOV_OP_REGISTER = 0,
    DISCOV_OP_UNREGISTER = 1,
    DISCOV_OP_GET_SVC = 2,
    DISCOV_OP_GET_SVC_MAP = 3,
    DISCOV_OP_WATCH_SVC_MAP = 4,
    DISCOV_OP_UPDATE_SVC = 5,
    DISCOV_OP_START_WATCHING = 6,
    DISCOV_OP_GET_LOCAL_ADDR = 7,
    DISCOV_OP_COUNT = 8,
};
