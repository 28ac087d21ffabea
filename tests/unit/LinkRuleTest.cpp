// The kernel's protection of links (fs.protected_symlinks), as pinfile applies it to the links
// it follows itself.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/posix/Links.h"

namespace pinfile::posix {
namespace {

struct LinkCase {
    uid_t follower, linkOwner;
    mode_t folderMode;
    uid_t folderOwner;
    bool linksProtected, followed;
};

TEST(MayFollowLinkTest, InASharedStickyFolderOnlyTheFollowersAndTheFolderOwnersLinks) {
    constexpr uid_t kRoot = 0, kUser = 1000, kOther = 1001;
    const LinkCase cases[] = {
        {kRoot, kUser, 01777, kRoot, true, false},   // /tmp: another user's link
        {kUser, kOther, 01777, kRoot, true, false},  // the same for a user who is not root
        {kRoot, kUser, 01777, kRoot, false, true},   // the protection is off
        {kRoot, kRoot, 01777, kRoot, true, true},    // the follower's own link
        {kRoot, kUser, 01777, kUser, true, true},    // the folder owner's link
        {kRoot, kUser, 00777, kRoot, true, true},    // not sticky
        {kRoot, kUser, 01775, kRoot, true, true},    // sticky, but others may not write
    };
    for (const LinkCase& c : cases) {
        EXPECT_EQ(
            MayFollowLink(c.linksProtected, c.follower, c.linkOwner, c.folderMode, c.folderOwner),
            c.followed)
            << c.follower << " " << c.linkOwner << " " << std::oct << c.folderMode;
    }
}

}  // namespace
}  // namespace pinfile::posix
