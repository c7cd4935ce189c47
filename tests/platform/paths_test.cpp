#include <gtest/gtest.h>

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

}  // namespace
}  // namespace moldrin
