#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace rivu::test {

// Two connected serial ports: the device end, which the code under test opens
// by its path, and the peer end, through which the test plays the instrument.
// Linux: a fresh pseudo-terminal (the device end is the slave path, the peer
// the master). Windows: the COM ports named by RIVU_TEST_PORT_A (device end)
// and RIVU_TEST_PORT_B (peer end), for example a socat-linked pair mapped to
// \\.\COM5 and \\.\COM6.
class PortPair {
public:
    PortPair();
    ~PortPair();
    PortPair(const PortPair&) = delete;
    PortPair& operator=(const PortPair&) = delete;

    // Empty when the pair is usable; otherwise why it is not.
    const std::string& Problem() const { return problem_; }
    const std::u16string& DevicePath() const { return devicePath_; }

    // Writes bytes from the peer to the device end.
    bool Send(std::string_view bytes);
    // Reads at the peer until count bytes arrived or timeoutMs passed.
    std::string Receive(std::size_t count, int timeoutMs);
    // Everything that arrives at the peer within waitMs.
    std::string Drain(int waitMs);
    // The peer goes away for good (the instrument is unplugged). Linux only:
    // returns false where the peer cannot vanish.
    bool ClosePeer();

private:
    struct Peer;
    std::unique_ptr<Peer> peer_;
    std::u16string devicePath_;
    std::string problem_;
};

}  // namespace rivu::test
