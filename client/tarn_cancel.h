// Cancellation of MDS and DS calls.
//
// The caller that wants to cancel holds a control; the call holds the token
// taken from it (the same object seen from the waiting side) and tests it
// before each retry and on each retry-timer tick. Cancelling and testing may
// run on different threads at once without a lock.
#pragma once

#include <stdint.h>

struct tarn_cancel_ctrl {
    // 0 not cancelled, 1 cancelled. Accessed only through the functions
    // below, which use atomic loads and stores.
    uint32_t cancelled;
};

// What a call sees of a control.
typedef tarn_cancel_ctrl tarn_cancel_token;

// A new control, not cancelled. Never null (the process ends when memory runs
// out).
tarn_cancel_ctrl* tarn_cancel_ctrl_create(void);
void tarn_cancel_ctrl_destroy(tarn_cancel_ctrl* ctrl);

// The token of `ctrl`, which is `ctrl` itself; it lives as long as the control.
tarn_cancel_token* tarn_cancel_ctrl_get_token(tarn_cancel_ctrl* ctrl);

void tarn_cancel_ctrl_cancel(tarn_cancel_ctrl* ctrl);
// Makes the control usable for another call.
void tarn_cancel_ctrl_reset(tarn_cancel_ctrl* ctrl);

// True once the control was cancelled (and not reset since). A null token,
// meaning "no cancellation", is never cancelled.
bool tarn_cancel_token_is_cancelled(const tarn_cancel_token* token);
