#include <gtest/gtest.h>

#include <fstream>

#include "platform/desktop/LoginItem.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/TestDirectory.h"

using namespace velmo;

TEST(XdgAutostartLoginItem, RegistersAnEnabledEntryForTheExecutable) {
    velmo::testing::TestDirectory dir;
    XdgAutostartLoginItem item(dir / "autostart", "velmo", "/opt/Velmo Build/velmo");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    item.registerApp();
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    std::ifstream in(item.entryPath());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[Desktop Entry]\nType=Application\nName=Velmo\n"), std::string::npos);
    EXPECT_NE(text.find("Exec=\"/opt/Velmo Build/velmo\"\n"), std::string::npos);
}

TEST(XdgAutostartLoginItem, AnEntryTheUserTurnedOffCountsAsNotRegistered) {
    velmo::testing::TestDirectory dir;
    XdgAutostartLoginItem item(dir / "autostart", "velmo", "/usr/bin/velmo");
    dir.write("autostart/velmo.desktop", "[Desktop Entry]\nType=Application\nExec=/usr/bin/velmo\nHidden=true\n");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    dir.write("autostart/velmo.desktop", "[Desktop Entry]\nType=Application\n");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);  // nothing to start
}

TEST(XdgAutostartLoginItem, APathThatIsAFileFailsWithAClearError) {
    velmo::testing::TestDirectory dir;
    dir.write("autostart", "not a folder");
    XdgAutostartLoginItem item(dir / "autostart", "velmo", "/usr/bin/velmo");
    try {
        item.registerApp();
        FAIL() << "registered into a file";
    } catch (const Error& e) {
        EXPECT_EQ(e.domain(), "LoginItem");
        EXPECT_NE(e.localizedDescription().find("autostart"), std::string::npos);
    }
}
