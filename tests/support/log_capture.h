#pragma once
#include <string>
#include <vector>

namespace rivu::test {

// Collects the enabler's log lines in a test program. Linux: RIVU_LOG_FILE
// points at a file of this process. Windows: a log service registered with
// COM for the host's log-service class, looked up once on the calling thread
// so that every thread then writes to it.
class LogCapture {
public:
    // The process-wide capture, set up on first use.
    static LogCapture& Instance();

    // The lines logged since the last Clear, as UTF-8, without time stamps
    // (the text after the first ": ").
    std::vector<std::string> Lines() const;
    // Whole lines as logged, time stamp included.
    std::vector<std::string> RawLines() const;
    void Clear();

private:
    LogCapture();
    ~LogCapture();
    std::string path_;
};

}  // namespace rivu::test
