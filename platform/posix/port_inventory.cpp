// COM-port interfaces on POSIX: the ports named in RIVU_SERIAL_PORTS, then
// the USB serial ports under /sys/class/tty in name order, each with the
// instance id that Windows would give it.
#include "platform/port_inventory.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "platform/posix/utf8_text.h"

namespace rivu::platform {
namespace {

namespace fs = std::filesystem;

struct PortEntry {
    std::u16string path;
    std::u16string instanceId;
    std::u16string portName;
    std::optional<std::u16string> manufacturer;
    std::optional<std::u16string> description;
    std::optional<std::u16string> friendlyName;
};

// A USB device is at most this many levels above the tty's device (the
// usb-serial port, then the interface, then the device).
constexpr int kUsbDeviceLevels = 3;

// Longest first line of a sysfs attribute that is used: a USB string
// descriptor holds at most 126 UTF-16 units, 378 bytes as UTF-8. A longer
// line is not cut short (a cut serial would be a wrong one) but ignored.
constexpr std::size_t kMaxAttributeLength = 512;

// The FTDI driver names an interface by a letter after the serial: A for
// interface 0, B for 1 and so on.
constexpr unsigned kMaxInterfaceLetters = 26;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// RIVU_SERIAL_PORTS: "PATH" or "PATH=INSTANCE_ID" entries separated by ';'.
// An entry without an instance id has an empty one. Its port name is the last
// part of the path.
void AddConfiguredPorts(std::vector<PortEntry>& entries) {
    const std::string list = Environment("RIVU_SERIAL_PORTS");
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        const std::string_view entry = std::string_view(list).substr(start, end - start);
        start = end + 1;

        const std::size_t equals = entry.find('=');
        const std::string_view path = entry.substr(0, equals);
        if (path.empty()) continue;
        PortEntry port;
        port.path = posix::FromUtf8(path);
        if (equals != std::string_view::npos) port.instanceId = posix::FromUtf8(entry.substr(equals + 1));
        const std::size_t slash = path.rfind('/');
        port.portName = posix::FromUtf8(slash == std::string_view::npos ? path : path.substr(slash + 1));
        entries.push_back(std::move(port));
    }
}

// The first line of a small sysfs attribute, without its line end; nothing
// when the file cannot be opened or its first line is longer than
// kMaxAttributeLength.
std::optional<std::string> ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    char buffer[kMaxAttributeLength + 1];
    in.read(buffer, sizeof buffer);
    std::string text(buffer, static_cast<std::size_t>(in.gcount()));
    text.erase(std::min(text.find('\n'), text.size()));
    if (text.size() > kMaxAttributeLength) return std::nullopt;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

// A serial number that can stand in a device instance id: printable ASCII
// without the id's separators (backslash) and without commas. Anything else
// counts as no serial, so that no identity is made up from it.
std::string UsableSerial(const std::optional<std::string>& serial) {
    if (!serial) return {};
    for (char c : *serial) {
        if (c <= ' ' || c > '~' || c == '\\' || c == ',') return {};
    }
    return *serial;
}

// The letter of a USB interface from its bInterfaceNumber (hexadecimal, as
// sysfs writes it); nothing when there is no such number or no letter for it.
std::optional<char> InterfaceLetter(const fs::path& file) {
    const std::optional<std::string> text = ReadAttribute(file);
    if (!text || text->empty() || text->size() > 2) return std::nullopt;
    unsigned number = 0;
    const char* end = text->data() + text->size();
    const std::from_chars_result read = std::from_chars(text->data(), end, number, 16);
    if (read.ec != std::errc() || read.ptr != end || number >= kMaxInterfaceLetters) return std::nullopt;
    return static_cast<char>('A' + number);
}

// The USB interface a tty's device belongs to: the nearest directory from the
// device up to (not including) the USB device that holds bInterfaceNumber.
std::optional<fs::path> FindUsbInterface(const fs::path& ttyDevice, const fs::path& usbDevice) {
    std::error_code error;
    for (fs::path directory = ttyDevice; directory != usbDevice && directory.has_relative_path();
         directory = directory.parent_path()) {
        if (fs::exists(directory / "bInterfaceNumber", error)) return directory;
    }
    return std::nullopt;
}

// The path Windows gives the COM-port interface of a device instance: "\\?\",
// the instance id lower-cased with '#' for each backslash, '#', then the
// interface class in braces.
std::u16string WindowsInterfacePath(const std::u16string& instanceId, const Guid& interfaceClass) {
    std::u16string path = u"\\\\?\\";
    for (char16_t unit : instanceId) {
        if (unit == u'\\') unit = u'#';
        if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
        path.push_back(unit);
    }
    char guid[40];
    std::snprintf(guid, sizeof guid, "#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", interfaceClass.data1,
                  interfaceClass.data2, interfaceClass.data3, interfaceClass.data4[0], interfaceClass.data4[1],
                  interfaceClass.data4[2], interfaceClass.data4[3], interfaceClass.data4[4], interfaceClass.data4[5],
                  interfaceClass.data4[6], interfaceClass.data4[7]);
    for (const char* c = guid; *c != '\0'; ++c) path.push_back(static_cast<char16_t>(*c));
    return path;
}

// A USB id as Windows writes it: four upper-case hex digits.
std::optional<std::string> UsbId(const fs::path& file) {
    std::optional<std::string> text = ReadAttribute(file);
    if (!text || text->size() != 4) return std::nullopt;
    for (char& c : *text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The USB device above a tty's device: the nearest directory holding idVendor and idProduct.
std::optional<fs::path> FindUsbDevice(const fs::path& ttyDevice) {
    std::error_code error;
    fs::path directory = ttyDevice;
    for (int level = 0; level <= kUsbDeviceLevels; ++level) {
        if (fs::exists(directory / "idVendor", error) && fs::exists(directory / "idProduct", error)) {
            return directory;
        }
        if (!directory.has_relative_path()) break;
        directory = directory.parent_path();
    }
    return std::nullopt;
}

std::optional<PortEntry> UsbSerialPort(const fs::path& ttyClass, const std::string& name) {
    std::error_code error;
    const fs::path device = fs::canonical(ttyClass / name / "device", error);
    if (error) return std::nullopt;  // a virtual terminal, not a device
    const std::optional<fs::path> usbDevice = FindUsbDevice(device);
    if (!usbDevice) return std::nullopt;  // not on USB
    const std::optional<std::string> vendor = UsbId(*usbDevice / "idVendor");
    const std::optional<std::string> product = UsbId(*usbDevice / "idProduct");
    if (!vendor || !product) return std::nullopt;
    const std::string serial = UsableSerial(ReadAttribute(*usbDevice / "serial"));

    const fs::path driver = fs::canonical(device / "driver", error);
    const bool isFtdi = !error && driver.filename() == "ftdi_sio";

    std::string instanceId;
    if (isFtdi) {
        // The FTDI driver's identity: the serial followed by the interface's
        // letter (KSC01234A). Without either there is none.
        std::string identity;
        const std::optional<fs::path> usbInterface = FindUsbInterface(device, *usbDevice);
        const std::optional<char> letter =
            usbInterface ? InterfaceLetter(*usbInterface / "bInterfaceNumber") : std::nullopt;
        if (!serial.empty() && letter) identity = serial + *letter;
        instanceId = "FTDIBUS\\VID_" + *vendor + "+PID_" + *product + "+" + identity + "\\0000";
    } else {
        // Other USB serial ports: the USB bus's form, with the sysfs device
        // name standing in for a serial number the device does not report.
        const std::string instance = serial.empty() ? usbDevice->filename().string() : serial;
        instanceId = "USB\\VID_" + *vendor + "&PID_" + *product + "\\" + instance;
    }

    PortEntry port;
    port.path = posix::FromUtf8("/dev/" + name);
    port.instanceId = posix::FromUtf8(instanceId);
    port.portName = posix::FromUtf8(name);
    if (std::optional<std::string> maker = ReadAttribute(*usbDevice / "manufacturer")) {
        port.manufacturer = posix::FromUtf8(*maker);
    }
    if (std::optional<std::string> productName = ReadAttribute(*usbDevice / "product")) {
        port.description = posix::FromUtf8(*productName);
        port.friendlyName = posix::FromUtf8(*productName + " (" + name + ")");
    }
    return port;
}

void AddUsbSerialPorts(std::vector<PortEntry>& entries) {
    std::string root = Environment("RIVU_SYSFS_ROOT");
    if (root.empty()) root = "/sys";
    const fs::path ttyClass = fs::path(root) / "class" / "tty";

    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(ttyClass, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (std::optional<PortEntry> port = UsbSerialPort(ttyClass, name)) entries.push_back(std::move(*port));
    }
}

// Whether two port paths name the same device: the same text, or the same
// file once links are followed.
bool SamePort(const std::u16string& a, const std::u16string& b) {
    if (a == b) return true;
    std::error_code error;
    return fs::equivalent(fs::path(posix::ToUtf8(a)), fs::path(posix::ToUtf8(b)), error) && !error;
}

// A USB port also named in RIVU_SERIAL_PORTS is listed once, where it was
// named; an entry named without an instance id takes what sysfs knows of it.
std::vector<PortEntry> ListPorts() {
    std::vector<PortEntry> entries;
    AddConfiguredPorts(entries);
    const std::size_t configured = entries.size();
    std::vector<PortEntry> usb;
    AddUsbSerialPorts(usb);
    for (PortEntry& port : usb) {
        const auto named = std::find_if(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(configured),
                                        [&](const PortEntry& entry) { return SamePort(entry.path, port.path); });
        if (named == entries.begin() + static_cast<std::ptrdiff_t>(configured)) {
            entries.push_back(std::move(port));
        } else if (named->instanceId.empty()) {
            port.path = named->path;
            *named = std::move(port);
        }
    }
    return entries;
}

class PosixPortInventory final : public PortInventory {
public:
    bool Usable() const override { return true; }

    bool OpenSnapshot(const Guid& interfaceClass, std::uint32_t) override {
        if (!open_) {
            entries_ = ListPorts();
            interfaceClass_ = interfaceClass;
            open_ = true;
        }
        return true;
    }
    bool SnapshotOpen() const override { return open_; }
    void CloseSnapshot() override {
        entries_.clear();
        open_ = false;
        selected_ = -1;
    }

    bool SelectInterface(const Guid&, std::int32_t index) override {
        selected_ = -1;
        if (!open_ || index < 0 || static_cast<std::size_t>(index) >= entries_.size()) return false;
        selected_ = index;
        return true;
    }
    bool ReadInterfacePath(std::u16string& path) override {
        if (const PortEntry* entry = Selected()) {
            path = entry->path;
            return true;
        }
        return false;
    }
    // Ports with an instance id get the interface path Windows would give
    // them; a port named without one has only its own path.
    bool ReadIdentificationPath(std::u16string& path) override {
        const PortEntry* entry = Selected();
        if (entry == nullptr) return false;
        path = entry->instanceId.empty() ? entry->path : WindowsInterfacePath(entry->instanceId, interfaceClass_);
        return true;
    }
    bool ReadInstanceId(std::u16string& instanceId) override {
        if (const PortEntry* entry = Selected()) {
            instanceId = entry->instanceId;
            return true;
        }
        return false;
    }
    std::optional<std::u16string> ReadProperty(DeviceProperty property) override {
        const PortEntry* entry = Selected();
        if (entry == nullptr) return std::nullopt;
        switch (property) {
            case DeviceProperty::kManufacturer:
                return entry->manufacturer;
            case DeviceProperty::kFriendlyName:
                return entry->friendlyName;
            case DeviceProperty::kDeviceDescription:
                return entry->description;
        }
        return std::nullopt;
    }

private:
    const PortEntry* Selected() const {
        return selected_ >= 0 ? &entries_[static_cast<std::size_t>(selected_)] : nullptr;
    }

    bool open_ = false;
    Guid interfaceClass_{};
    std::vector<PortEntry> entries_;
    std::int32_t selected_ = -1;
};

}  // namespace

std::unique_ptr<PortInventory> CreatePortInventory() { return std::make_unique<PosixPortInventory>(); }

bool ReadDevicePortName(const std::u16string& instanceId, std::u16string& portName) {
    if (instanceId.empty()) return false;
    for (const PortEntry& entry : ListPorts()) {
        if (entry.instanceId == instanceId) {
            portName = entry.portName;
            return true;
        }
    }
    return false;
}

void ReleasePortInventory() {}

}  // namespace rivu::platform
