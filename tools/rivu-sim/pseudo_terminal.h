#pragma once
// The instrument's end of a pseudo-terminal pair. The slave path is the
// "serial port" the enabler opens; the simulator reads and writes the master.
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace rivu::sim {

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Opens a master (non-blocking), unlocks its slave and puts the line in raw
    // mode (no echo, no CR/LF translation, 8N1, 115200 baud). The slave stays
    // open here too, so the line never reports a hang-up while the enabler
    // closes and reopens its port. False with error set on failure.
    bool Open(std::string& error);
    // Closes both ends: whoever has the slave open sees a hang-up.
    void Close();

    bool IsOpen() const { return master_ >= 0; }
    int MasterFd() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    // Bytes written to the master that the slave side has not read yet
    // (0 when it cannot be told).
    std::size_t PendingForSlave() const;

    // read/write on the master; -1 with errno as the system calls leave it.
    ssize_t Read(char* buffer, std::size_t size);
    ssize_t Write(const char* bytes, std::size_t size);

private:
    int master_ = -1;
    int slaveHold_ = -1;
    std::string slavePath_;
};

}  // namespace rivu::sim
