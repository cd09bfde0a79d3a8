// Cancel controls. The flag is a plain u32 accessed with atomic builtins so
// that a control stays a plain, zero-initialisable structure.
#include "client/tarn_cancel.h"

#include "kiv/base.h"

tarn_cancel_ctrl* tarn_cancel_ctrl_create(void) {
    // Zeroed memory is a control that is not cancelled.
    return static_cast<tarn_cancel_ctrl*>(
        __kiv_zmalloc("tarn_cancel", KIV_POS, KIV_MEM_NOFAIL, sizeof(tarn_cancel_ctrl)));
}

void tarn_cancel_ctrl_destroy(tarn_cancel_ctrl* ctrl) { __kiv_free(ctrl); }

tarn_cancel_token* tarn_cancel_ctrl_get_token(tarn_cancel_ctrl* ctrl) { return ctrl; }

void tarn_cancel_ctrl_cancel(tarn_cancel_ctrl* ctrl) { __atomic_store_n(&ctrl->cancelled, 1u, __ATOMIC_RELEASE); }

void tarn_cancel_ctrl_reset(tarn_cancel_ctrl* ctrl) { __atomic_store_n(&ctrl->cancelled, 0u, __ATOMIC_RELEASE); }

bool tarn_cancel_token_is_cancelled(const tarn_cancel_token* token) {
    return token != nullptr && __atomic_load_n(&token->cancelled, __ATOMIC_ACQUIRE) != 0;
}
