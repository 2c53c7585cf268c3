#include "platform/base/WholeFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

using namespace velmo;

namespace {

struct Folder {
    std::string path;
    Folder() {
        char name[] = "/tmp/velmo-wholefile-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~Folder() { std::system(("rm -rf '" + path + "'").c_str()); }
};

}  // namespace

TEST(readWholeFile, GivesEveryByteOrSaysWhichCallFailed) {
    Folder folder;
    std::string bytes(200 * 1024, 'x');  // more than one read
    bytes[3] = '\0';
    bytes.back() = '\n';
    std::ofstream(folder.path + "/file", std::ios::binary) << bytes;
    std::ofstream(folder.path + "/empty", std::ios::binary).flush();
    ::mkdir((folder.path + "/folder").c_str(), 0700);

    EXPECT_EQ(readWholeFile(folder.path + "/file"), bytes);
    EXPECT_EQ(readWholeFile(folder.path + "/empty"), std::string());

    FileReadFailure missing;
    EXPECT_EQ(readWholeFile(folder.path + "/missing", &missing), std::nullopt);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_TRUE(missing.opening);

    FileReadFailure directory;
    EXPECT_EQ(readWholeFile(folder.path + "/folder", &directory), std::nullopt);
    EXPECT_EQ(directory.error, EISDIR);
    EXPECT_FALSE(directory.opening);
}
