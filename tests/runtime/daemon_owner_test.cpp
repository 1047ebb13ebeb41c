// Whom the library takes for the daemon: the expected user from the
// environment or the home's owner, and the verdict on real listeners of root,
// of that user and of another one, accepted or still queued.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/daemon_owner.h"
#include "support/foreign_listener.h"
#include "support/loopback_listener.h"
#include "support/temp_home.h"

namespace vavevar {
namespace {

int connect_to(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

DaemonPeerCheck check_at(std::uint16_t port, std::uint32_t expected) {
    int fd = connect_to(port);
    if (fd < 0) return DaemonPeerCheck{};
    DaemonPeerCheck check = lumo_daemon_peer_check(fd, expected);
    ::close(fd);
    return check;
}

TEST(DaemonOwner, TheExpectedUserIsTheGivenUidElseTheHomesOwnerElseOurs) {
    test::TempHome home;
    uid_t owner = ::geteuid();
    if (owner == 0) {
        ASSERT_EQ(::chown(home.c_str(), test::kNobodyUid, test::kNobodyUid), 0);
        owner = test::kNobodyUid;
    }
    {
        test::ScopedEnv given("VAVEVAR_DAEMON_UID", "4242");
        EXPECT_EQ(lumo_daemon_expected_uid(home.c_str()), 4242u);
    }
    test::ScopedEnv unset("VAVEVAR_DAEMON_UID", nullptr);
    EXPECT_EQ(lumo_daemon_expected_uid(home.c_str()), owner);
    EXPECT_EQ(lumo_daemon_expected_uid((home.path() + "/gone").c_str()), ::geteuid());
    for (const char *bad : {"abc", "-1", "12x", "4294967295", " 7"}) {
        test::ScopedEnv invalid("VAVEVAR_DAEMON_UID", bad);
        testing::internal::CaptureStderr();
        EXPECT_EQ(lumo_daemon_expected_uid(home.c_str()), owner) << bad;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("VAVEVAR_DAEMON_UID: invalid value: ") + bad + "\n");
    }
}

// Root's listener is trusted whoever is expected; another user's only when
// expected, whether it has accepted the connection or it is still queued.
TEST(DaemonOwner, TrustsRootAndTheExpectedUserAndNoOneElse) {
    test::LoopbackListener mine;
    const std::uint32_t me = ::geteuid();
    EXPECT_EQ(check_at(mine.port(), me).verdict, DaemonPeer::trusted);
    const DaemonPeerCheck other_expected = check_at(mine.port(), me + 1);
    if (me == 0) {
        EXPECT_EQ(other_expected.verdict, DaemonPeer::trusted) << "root is always trusted";
    } else {
        EXPECT_EQ(other_expected.verdict, DaemonPeer::impostor);
        EXPECT_EQ(other_expected.owner, me);
    }
    if (me != 0) GTEST_SKIP() << "needs root to listen as another user";
    for (bool accepting : {true, false}) {
        test::ForeignListener theirs(0, accepting);
        ASSERT_TRUE(theirs.ok());
        const char *what = accepting ? "accepting" : "queueing";
        EXPECT_EQ(check_at(theirs.port(), test::kNobodyUid).verdict, DaemonPeer::trusted) << what;
        const DaemonPeerCheck check = check_at(theirs.port(), 1234);
        EXPECT_EQ(check.verdict, DaemonPeer::impostor) << what;
        EXPECT_EQ(check.owner, test::kNobodyUid) << what;
    }
}

TEST(DaemonOwner, AConnectionTheKernelCannotNameIsNotTrusted) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    EXPECT_EQ(lumo_daemon_peer_check(pair[0], ::geteuid()).verdict, DaemonPeer::unknown);
    ::close(pair[0]);
    ::close(pair[1]);
    EXPECT_EQ(lumo_daemon_peer_check(-1, ::geteuid()).verdict, DaemonPeer::unknown);
}

}  // namespace
}  // namespace vavevar
