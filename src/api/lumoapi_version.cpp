// Exported version query: the text of the library that was built, which the
// header's macros must agree with.
#include "vavevar.h"

#ifndef VAVEVAR_BUILT_VERSION_MAJOR
#error "the build passes the project's version as VAVEVAR_BUILT_VERSION_*"
#endif

// The project's version lives in the top CMakeLists.txt; a release that bumps
// it without the header's macros would hand applications a header that
// misstates the library, so the build stops here instead.
static_assert(VAVEVAR_VERSION_MAJOR == VAVEVAR_BUILT_VERSION_MAJOR &&
                  VAVEVAR_VERSION_MINOR == VAVEVAR_BUILT_VERSION_MINOR &&
                  VAVEVAR_VERSION_PATCH == VAVEVAR_BUILT_VERSION_PATCH,
              "VAVEVAR_VERSION_* in include/vavevar.h differ from project(VERSION) in CMakeLists.txt");

#define VAVEVAR_TEXT_(x) #x
#define VAVEVAR_TEXT(x) VAVEVAR_TEXT_(x)

extern "C" {

LUMO_EXPORT const char *lumo_version(void) noexcept {
    return VAVEVAR_TEXT(VAVEVAR_BUILT_VERSION_MAJOR) "." VAVEVAR_TEXT(
        VAVEVAR_BUILT_VERSION_MINOR) "." VAVEVAR_TEXT(VAVEVAR_BUILT_VERSION_PATCH);
}

}  // extern "C"
