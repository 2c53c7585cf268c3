#include <gtest/gtest.h>

#include <fstream>

#include "platform/desktop/LoginItem.h"
#include "platform/base/Error.h"
#include "platform/foundation/TestDirectory.h"

using namespace velmo;

TEST(XdgAutostartLoginItem, RegistersAnEnabledEntryForTheExecutable) {
    velmo::test::TestDirectory dir;
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
    velmo::test::TestDirectory dir;
    XdgAutostartLoginItem item(dir / "autostart", "velmo", "/usr/bin/velmo");
    dir.write("autostart/velmo.desktop", "[Desktop Entry]\nType=Application\nExec=/usr/bin/velmo\nHidden=true\n");
    EXPECT_EQ(item.status(), LoginItemStatus::requiresApproval);
    EXPECT_THROW(item.registerApp(), Error);  // the user's choice stands
    std::ifstream in(item.entryPath());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Hidden=true"), std::string::npos);
    dir.write("autostart/velmo.desktop", "[Desktop Entry]\nType=Application\n");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);  // nothing to start
}

TEST(XdgAutostartLoginItem, APathThatIsAFileFailsWithAClearError) {
    velmo::test::TestDirectory dir;
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

TEST(XdgAutostartLoginItem, TheExecLineCarriesTheBundleQuotedAsDesktopEntriesRequire) {
    struct Case {
        std::string executable, bundle, exec;
    };
    const std::vector<Case> cases = {
        {"/usr/bin/velmo", "", "/usr/bin/velmo"},
        {"/usr/bin/velmo", "/opt/Velmo.app", "env VELMO_BUNDLE=/opt/Velmo.app /usr/bin/velmo"},
        {"/opt/My Build/velmo", "/home/a b/Velmo.app", "env \"VELMO_BUNDLE=/home/a b/Velmo.app\" \"/opt/My Build/velmo\""},
        {"/usr/bin/velmo", "/x/$HOME`q\"", "env \"VELMO_BUNDLE=/x/\\\\$HOME\\\\`q\\\\\"\" /usr/bin/velmo"},
        {"/usr/bin/velmo", "/x/back\\slash", "env \"VELMO_BUNDLE=/x/back\\\\\\\\slash\" /usr/bin/velmo"},
        {"/usr/bin/velmo", "/x/100%/a;b", "env \"VELMO_BUNDLE=/x/100%%/a;b\" /usr/bin/velmo"},
    };
    for (const auto& c : cases) {
        velmo::test::TestDirectory dir;
        XdgAutostartLoginItem item(dir / "autostart", "velmo", c.executable, c.bundle);
        EXPECT_EQ(item.execLine(), c.exec) << c.bundle;
        item.registerApp();
        std::ifstream in(item.entryPath());
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("\nExec=" + c.exec + "\n"), std::string::npos) << text;
    }
}
