// Discovery texts: the ports listed in RIVU_SERIAL_PORTS (paths and instance
// ids) walked with a selection text, and the pieces of a pass on their own:
// selection tokens, token matching, the identity in an instance id, the
// serial number in a device path, the unique id. Each is checked against a
// plain restatement of its rule.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "discovery/dev_reg_enum.h"
#include "discovery/identification.h"
#include "discovery/port_discovery.h"
#include "fuzz/harness.h"
#include "plugin/unique_id.h"

namespace {

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t unit : text) narrow.push_back(static_cast<char>(unit & 0xFF));
    return narrow;
}

std::u16string Widen(const std::string& text) {
    std::u16string wide;
    for (char c : text) wide.push_back(static_cast<unsigned char>(c));
    return wide;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The digits after the first prefix (in its order) that some digit follows.
std::string SerialByHand(const std::string& path) {
    for (const std::string prefix : {"a800", "ksc", "zvccoda"}) {
        for (std::size_t at = path.find(prefix); at != std::string::npos; at = path.find(prefix, at + 1)) {
            std::size_t end = at + prefix.size();
            if (end >= path.size() || !IsDigit(path[end])) continue;
            const std::size_t begin = end;
            while (end < path.size() && IsDigit(path[end])) ++end;
            return path.substr(begin, end - begin);
        }
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Only the configured ports: no system ports join the walk.
    setenv("RIVU_SYSFS_ROOT", "/nonexistent-rivu-fuzz-sysfs", 1);
    unsetenv("RIVU_LOG_FILE");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace rivu;
    using namespace rivu::fuzz;
    FuzzedDataProvider input(data, size);
    const std::string selection = input.ConsumeRandomLengthString(200);
    const std::string identityText = input.ConsumeRandomLengthString(200);
    const std::string ports = input.ConsumeRemainingBytesAsString();
    const std::u16string identity = Widen(identityText);

    // Tokens: the text cut at commas, a final comma adding none.
    const std::vector<std::string> tokens = SplitSelection(selection.c_str());
    const std::string cSelection = selection.c_str();
    std::string joined;
    for (std::size_t i = 0; i < tokens.size(); ++i) joined += (i ? "," : "") + tokens[i];
    Check(!tokens.empty(), "no token from a selection");
    Check(joined == cSelection || joined + "," == cSelection, "tokens do not make up the selection", cSelection);

    bool anyToken = false;
    for (const std::string& token : tokens) anyToken = anyToken || Narrow(identity).find(token) != std::string::npos;
    Check(MatchesAnyToken(tokens, identity) == anyToken, "token match differs", identityText);

    // The identity in an instance id: after the last '+', before the next '\'.
    std::u16string stripped = identity;
    DevRegEnum(nullptr).StripToSerial(stripped, u'+');
    std::string expected = identityText.substr(identityText.rfind('+') == std::string::npos ? 0 : identityText.rfind('+') + 1);
    expected = expected.substr(0, expected.find('\\'));
    Check(Narrow(stripped) == expected, "identity of an instance id differs", identityText);

    Check(ExtractSerialNumber(identity) == SerialByHand(identityText), "serial number differs", identityText);
    Check(IsZvcCodaIdentity(identity) == (identityText.find("ZVCCODA") != std::string::npos), "CODA mark differs");
    const std::int32_t id = MakeUniqueId(identity);
    Check(id >= 0 && id <= 99999, "unique id out of range");

    // A whole pass over the configured ports: every port found matches a token
    // and carries its own serial number; the pass ends.
    setenv("RIVU_SERIAL_PORTS", ports.c_str(), 1);
    const std::size_t entries = 1 + static_cast<std::size_t>(std::count(ports.begin(), ports.end(), ';'));
    std::size_t found = 0;
    ManualClock clock;  // the device's closing pause costs no real time
    while (std::unique_ptr<RivuSerial> device = DiscoverNextDevice(selection.c_str())) {
        device->clock = &clock;
        Check(++found <= entries, "pass finds more ports than are listed");
        Check(device->serialNumber == SerialByHand(Narrow(device->interfacePath)), "device serial number differs");
    }
    ResetDiscovery();
    return 0;
}
