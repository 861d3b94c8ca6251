#include "rpc/module.h"

namespace vsk {

long CVSKManagerModule::Unlock() {
    long left = --m_lockCount;
    if (left == 0 && m_onLastUnlock)
        m_onLastUnlock();
    return left;
}

CVSKManagerModule& TheModule() {
    static CVSKManagerModule module;
    return module;
}

}  // namespace vsk
