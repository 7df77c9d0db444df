// Where the program's files go: beside a writable program, else in the user's own folder.
#include <gtest/gtest.h>

#include <string>

#include "decoder_link/ProgramFolder.h"

namespace sincrovia {
namespace {

TEST(ProgramFolder, FilesStayBesideAWritableProgramElseGoToTheUsersFolder) {
    struct Case {
        const char* legend;
        const char* program;
        bool writable;
        const char* userBase;
        const char* expected;
    };
    const Case cases[] = {
        {"unpacked into a folder of its own", "/opt/timing/", true, "/home/t/.config/", "/opt/timing/"},
        {"installed in /usr/bin", "/usr/bin/", false, "/home/t/.config/", "/home/t/.config/sincrovia/"},
        {"user base given without its separator", "/usr/bin/", false, "/home/t/.local/share",
         "/home/t/.local/share/sincrovia/"},
        {"a Windows user folder keeps its backslashes", "C:\\Program Files\\Sincrovia\\", false,
         "C:\\Users\\t\\AppData\\Roaming", "C:\\Users\\t\\AppData\\Roaming\\sincrovia\\"},
    };
    for (const Case& c : cases) EXPECT_EQ(ChooseFilesFolder(c.program, c.writable, c.userBase), c.expected) << c.legend;
}

}  // namespace
}  // namespace sincrovia
