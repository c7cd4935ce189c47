#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/files.h"
#include "support/scratch_root.h"

namespace moldrin {
namespace {

TEST(HostPath, MapsDriveLetterAndBackslashesUnderRoot) {
    testing::ScratchRoot root;
    EXPECT_EQ(platform::HostPath("c:\\TEMP\\ECF-quarta.CM2"), root.path() + "/c/TEMP/ECF-quarta.CM2");
    EXPECT_EQ(platform::HostPath("C:\\TALMA\\RFD"), root.path() + "/c/TALMA/RFD");
    // Windows-1252 name bytes become UTF-8.
    EXPECT_EQ(platform::HostPath("c:\\a\xC7\xC3O"), root.path() + "/c/a\xC3\x87\xC3\x83O");
    // Paths without a drive letter are host paths already.
    EXPECT_EQ(platform::HostPath("/tmp/x"), "/tmp/x");
}

// Sets or unsets an environment variable for one scope.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~EnvVar() {
        if (previous_) setenv(name_, previous_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

TEST(HostPath, RootDefaultsToHomeAndWithoutItToAFolderOfTheUsersAlone) {
    EnvVar noRoot("MOLDRIN_ROOT", nullptr);
    {
        EnvVar home("HOME", "/home/caixa");
        EXPECT_EQ(platform::HostPath("c:\\TEMP\\x"), "/home/caixa/.moldrin/c/TEMP/x");
    }
    EnvVar noHome("HOME", nullptr);
    const std::string path = platform::HostPath("c:\\TEMP\\x");
    ASSERT_GT(path.size(), 9u);
    ASSERT_EQ(path.substr(path.size() - 9), "/c/TEMP/x");
    const std::string root = path.substr(0, path.size() - 9);
    EXPECT_NE(root, "/tmp/.moldrin") << "a folder every user may write to";
    // The account's home when it has one, else a folder made for this user alone.
    const passwd* account = ::getpwuid(::geteuid());
    if (account && root == std::string(account->pw_dir) + "/.moldrin") return;
    struct stat st{};
    ASSERT_EQ(::lstat(root.c_str(), &st), 0) << root;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u) << root;
}

}  // namespace
}  // namespace moldrin
