#include "support/errors.h"

#include <cstdio>
#include <iostream>

namespace ZVC {
namespace {

std::string HResultMessage(rivu::HResult hr) { return "HRESULT " + HResultText(hr); }

}  // namespace

XZVC::XZVC(rivu::HResult hr) : std::runtime_error(HResultMessage(hr)), code_(hr) {
    // Start-up failures happen before any log service exists: the error
    // stream is the only place left to report them.
    std::wstring line = L"ZVCBOOTLOG: XZVC: ";
    for (char c : std::string(what())) line += static_cast<wchar_t>(static_cast<unsigned char>(c));
    std::wcerr << line << L'\n' << std::flush;
}

XZVC::XZVC(const std::string& message) : std::runtime_error(message) {}

XHResult::XHResult(rivu::HResult hr) : std::runtime_error(HResultMessage(hr)), code_(hr) {}

std::string HResultText(rivu::HResult hr) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace ZVC
