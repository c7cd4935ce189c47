// The files the moldrin tool writes for a developer: the key file made by
// "keygen" and the registration written by "register" from its options.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "store/registration.h"
#include "support/scratch_root.h"
#include "tool_process.h"

namespace moldrin {
namespace {

// Runs the tool with a umask that would leave a plain file readable by all.
int RunTool(const std::string& arguments) {
    const std::string command =
        std::string("umask 022 && exec '") + MOLDRIN_TOOL_PATH + "' " + arguments + " >/dev/null 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using testing::ReadHost;

TEST(KeygenTool, WritesANewKeyForItsOwnerAlone) {
    testing::ScratchRoot root;
    const std::string key = root.path() + "/RSA.BIN";
    ASSERT_EQ(RunTool("keygen '" + key + "'"), 0);
    struct stat st{};
    ASSERT_EQ(::lstat(key.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 2920);

    // An existing key is never replaced, nor is the target of a link planted at OUT.
    const std::string first = ReadHost(key);
    EXPECT_EQ(RunTool("keygen '" + key + "'"), 1);
    EXPECT_EQ(ReadHost(key), first);
    const std::string target = root.path() + "/elsewhere";
    std::ofstream(target) << "not a key";
    std::filesystem::create_symlink(target, root.path() + "/LINK.BIN");
    EXPECT_EQ(RunTool("keygen '" + root.path() + "/LINK.BIN'"), 1);
    EXPECT_EQ(ReadHost(target), "not a key");
}

TEST(RegisterTool, FieldOptionsWriteTheRecordAndRemoveTheOverride) {
    testing::ScratchRoot root;
    const std::string fields =
        "--model=D --gate=1 --factory=AB1234567 --cnpj=12345678901 --ie=4455 --software-house=Casa "
        "--coo=42 --order=07 --name=Caixa --program-data=loja";
    ASSERT_EQ(RunTool("register " + fields + " --version=1.0"), 0);
    const std::string old = root.Read(capture::kRegistrationFile);
    ASSERT_EQ(old.size(), capture::kRegistrationFileSize);
    root.Write(capture::kRegistrationOverride, old);

    ASSERT_EQ(RunTool("register " + fields + " --version=2.0"), 0);
    const std::string fresh = root.Read(capture::kRegistrationFile);
    EXPECT_NE(fresh, old);
    EXPECT_FALSE(root.Exists(capture::kRegistrationOverride)) << "it would bring the old data back";
}

}  // namespace
}  // namespace moldrin
