#include "port/cond_alloc.h"

#include "port/cond.h"
#include "port/memory.h"

namespace vavevar {

lumox_win32_cond_t *lumo_cond_create() noexcept {
    auto *cond = static_cast<lumox_win32_cond_t *>(lumo_malloc(sizeof(lumox_win32_cond_t)));
    if (cond == nullptr) return nullptr;
    if (vavevar::lumox_win32_cond_init(cond) != 0) {
        lumo_free(cond);
        return nullptr;
    }
    return cond;
}

void lumo_cond_free(lumox_win32_cond_t *cond) noexcept {
    if (cond == nullptr) return;
    vavevar::lumox_win32_cond_destroy(cond);
    lumo_free(cond);
}

}  // namespace vavevar
