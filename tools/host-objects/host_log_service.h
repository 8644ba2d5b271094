#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rivu::host {

// The host application's log service and clock, in COM layout: the enabler
// looks the log-service class up with COM, writes each diagnostic line to
// it, and reads the host's reference tick from its clock interface. On
// Windows, Register() makes it the class object of the log-service class on
// the calling thread (OLE is initialised there first). On Linux the enabler
// writes to RIVU_LOG_FILE instead, which Register() points at the file.
class HostLogService {
public:
    // Lines are kept in memory and, with a path, appended to that file too.
    explicit HostLogService(std::string path = {});
    ~HostLogService();
    HostLogService(const HostLogService&) = delete;
    HostLogService& operator=(const HostLogService&) = delete;

    bool Register();
    // The tick (in GetTickCount terms) the host's time line starts from.
    // Until it is set, the service offers no clock interface.
    void SetReferenceTick(std::uint32_t tick) {
        referenceTick_ = tick;
        clockOffered_ = true;
    }

    std::vector<std::string> Lines() const;  // UTF-8, as written
    void Clear();
    // Also hands every line (UTF-8) to watcher, on the thread that writes it.
    // Set before the enabler is loaded.
    void SetLineWatcher(std::function<void(const std::string&)> watcher) { watcher_ = std::move(watcher); }

    struct Object;  // the COM object: table pointer first

private:
    friend struct LogServiceCalls;
    void Write(const std::u16string& line);

    Object* object_;
    std::string path_;
    std::uint32_t referenceTick_ = 0;
    bool clockOffered_ = false;
    std::uint32_t cookie_ = 0;
    std::function<void(const std::string&)> watcher_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace rivu::host
