#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discovery/dev_reg_enum.h"

namespace rivu {
namespace {

struct FakeInterface {
    std::u16string path;
    std::optional<std::u16string> instanceId = std::nullopt;  // none: reading it fails
    std::optional<std::u16string> manufacturer = std::nullopt;
};

struct InventoryLog {
    int opens = 0;
    int closes = 0;
    bool open = false;
};

class FakeInventory : public platform::PortInventory {
public:
    FakeInventory(std::vector<FakeInterface> interfaces, InventoryLog& log, bool usable = true, bool opens = true)
        : interfaces_(std::move(interfaces)), log_(log), usable_(usable), opens_(opens) {}

    bool Usable() const override { return usable_; }
    bool OpenSnapshot(const Guid& interfaceClass, std::uint32_t flags) override {
        EXPECT_EQ(interfaceClass, kComPortInterfaceClass);
        EXPECT_EQ(flags, 0x12u);
        ++log_.opens;
        log_.open = opens_;
        return opens_;
    }
    bool SnapshotOpen() const override { return log_.open; }
    void CloseSnapshot() override {
        if (log_.open) ++log_.closes;
        log_.open = false;
    }
    bool SelectInterface(const Guid&, std::int32_t index) override {
        selected_ = log_.open && index >= 0 && static_cast<std::size_t>(index) < interfaces_.size() ? index : -1;
        return selected_ >= 0;
    }
    bool ReadInterfacePath(std::u16string& path) override {
        path = interfaces_[selected_].path;
        return true;
    }
    bool ReadInstanceId(std::u16string& id) override {
        if (!interfaces_[selected_].instanceId) return false;
        id = *interfaces_[selected_].instanceId;
        return true;
    }
    std::optional<std::u16string> ReadProperty(platform::DeviceProperty property) override {
        if (property != platform::DeviceProperty::kManufacturer) return std::nullopt;
        return interfaces_[selected_].manufacturer;
    }

private:
    std::vector<FakeInterface> interfaces_;
    InventoryLog& log_;
    bool usable_;
    bool opens_;
    std::int32_t selected_ = -1;
};

TEST(PortWalk, VisitsEveryInterfaceInOrderThenClosesTheSnapshot) {
    InventoryLog log;
    DevRegEnum walker(std::make_unique<FakeInventory>(
        std::vector<FakeInterface>{{u"\\\\?\\a", u"ID\\A", u"Maker A"}, {u"\\\\?\\b", u"ID\\B", std::nullopt}}, log));
    EXPECT_EQ(log.opens, 1);
    EXPECT_EQ(walker.nextIndex, 0);

    ASSERT_TRUE(walker.Next());
    EXPECT_EQ(walker.currentIndex, 0);
    EXPECT_EQ(walker.GetInstanceId(), u"ID\\A");
    ASSERT_TRUE(walker.Next());
    std::u16string path;
    walker.GetDevicePath(path);
    EXPECT_EQ(path, u"\\\\?\\b");
    EXPECT_EQ(walker.GetManufacturer(), u"Maker A");  // a missing property keeps the field

    EXPECT_FALSE(walker.Next());
    EXPECT_EQ(walker.nextIndex, -1);
    EXPECT_EQ(walker.currentIndex, -1);
    EXPECT_EQ(log.closes, 1);
    EXPECT_FALSE(walker.Next());  // stays ended; the snapshot is not reopened
    EXPECT_EQ(log.opens, 1);
}

TEST(PortWalk, AnUnreadableInstanceIdEndsTheWalkThere) {
    InventoryLog log;
    DevRegEnum walker(std::make_unique<FakeInventory>(
        std::vector<FakeInterface>{{u"p0", u"ID0"}, {u"p1", std::nullopt}, {u"p2", u"ID2"}}, log));
    ASSERT_TRUE(walker.Next());
    EXPECT_FALSE(walker.Next());
    EXPECT_EQ(walker.GetInstanceId(), u"ID0");  // not overwritten by the failed fetch
    EXPECT_EQ(walker.nextIndex, -1);
    EXPECT_FALSE(log.open);
}

TEST(PortWalk, NothingIsListedWithoutAUsableServiceOrSnapshot) {
    InventoryLog unusableLog;
    DevRegEnum unusable(std::make_unique<FakeInventory>(std::vector<FakeInterface>{{u"p", u"ID"}}, unusableLog, false));
    EXPECT_FALSE(unusable.Next());
    EXPECT_EQ(unusableLog.opens, 0);

    InventoryLog closedLog;
    DevRegEnum closed(
        std::make_unique<FakeInventory>(std::vector<FakeInterface>{{u"p", u"ID"}}, closedLog, true, false));
    EXPECT_EQ(closed.nextIndex, -1);
    EXPECT_FALSE(closed.Next());
}

}  // namespace
}  // namespace rivu
