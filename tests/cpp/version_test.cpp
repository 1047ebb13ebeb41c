// The version an application compiles against and the one it runs with: the
// header's macros, the project's version the build was made from, and what
// the linked shared library reports.
#include <gtest/gtest.h>

#include <string>

#include "vavevar.h"

namespace {

TEST(Version, HeaderMacrosAreTheProjectVersion) {
    EXPECT_EQ(VAVEVAR_VERSION_MAJOR, PROJECT_VERSION_MAJOR);
    EXPECT_EQ(VAVEVAR_VERSION_MINOR, PROJECT_VERSION_MINOR);
    EXPECT_EQ(VAVEVAR_VERSION_PATCH, PROJECT_VERSION_PATCH);
    EXPECT_EQ(VAVEVAR_VERSION, PROJECT_VERSION_MAJOR * 10000 + PROJECT_VERSION_MINOR * 100 + PROJECT_VERSION_PATCH);
}

TEST(Version, LinkedLibraryReportsTheHeadersVersion) {
    const char *text = lumo_version();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), std::to_string(VAVEVAR_VERSION_MAJOR) + "." + std::to_string(VAVEVAR_VERSION_MINOR) +
                                     "." + std::to_string(VAVEVAR_VERSION_PATCH));
    EXPECT_EQ(std::string(text), PROJECT_VERSION);
    // A static text: the same pointer each time, nothing for the caller to free.
    EXPECT_EQ(lumo_version(), text);
}

}  // namespace
