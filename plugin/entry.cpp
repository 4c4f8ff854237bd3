// Descriptor and action entry (not yet built).
#include "qel_abi.h"

extern "C" {
__attribute__((visibility("default"))) extern const QEL_InfoRecord QEL_Info;
const QEL_InfoRecord QEL_Info = {};

__attribute__((visibility("default"))) bool QEL_KorvexAction(QEL_Host*, uint32_t, void*) { return false; }
}
