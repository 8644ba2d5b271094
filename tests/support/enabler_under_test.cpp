#include "tests/support/enabler_under_test.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace rivu::test {
namespace {

// Build-tree paths are Unix paths; a Windows program under Wine reaches them
// through drive Z:.
std::u16string AsLibraryPath(const std::string& path) {
    std::u16string wide;
#if defined(_WIN32)
    if (!path.empty() && path[0] == '/') wide = u"Z:";
#endif
    for (unsigned char c : path) {
#if defined(_WIN32)
        if (c == '/') c = '\\';
#endif
        wide += static_cast<char16_t>(c);
    }
    return wide;
}

}  // namespace

host::EnablerLibrary& Enabler() {
    static host::EnablerLibrary* enabler = [] {
        // The host's log service exists before the enabler first logs.
        LogCapture::Instance();
        auto* library = new host::EnablerLibrary();
#ifdef RIVU_ENABLER_PATH
        if (!library->Load(AsLibraryPath(RIVU_ENABLER_PATH))) {
            ADD_FAILURE() << "cannot load " << RIVU_ENABLER_PATH << ": " << library->Error();
        } else {
            library->InitOnMainThread();  // the host's main thread fixes the clock and log service
        }
#else
        ADD_FAILURE() << "RIVU_ENABLER_PATH is not defined for this test program";
#endif
        return library;
    }();
    return *enabler;
}

std::string HostProgramPath() {
#ifdef RIVU_HOST_PATH
    return RIVU_HOST_PATH;
#else
    return {};
#endif
}

}  // namespace rivu::test
