#pragma once
#include <stdexcept>
#include <string>

#include "support/hresult.h"

namespace ZVC {

// Error raised by the host-service start-up. Built from an HRESULT, it also
// writes "ZVCBOOTLOG: XZVC: <message>" and a line break to the wide error
// stream and flushes it.
class XZVC : public std::runtime_error {
public:
    explicit XZVC(rivu::HResult hr);
    explicit XZVC(const std::string& message);
    rivu::HResult Code() const { return code_; }

private:
    rivu::HResult code_ = rivu::kFail;
};

// A failed HRESULT from a COM call during host-service start-up.
class XHResult : public std::runtime_error {
public:
    explicit XHResult(rivu::HResult hr);
    rivu::HResult Code() const { return code_; }

private:
    rivu::HResult code_;
};

// "0x80004005"-style text of an HRESULT.
std::string HResultText(rivu::HResult hr);

}  // namespace ZVC
