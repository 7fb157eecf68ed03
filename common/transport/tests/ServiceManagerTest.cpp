#include "common/transport/ServiceManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/TempDir.h"

namespace quorvane {
namespace {

// A datagram socket standing for the service manager's, bound at `name` (a
// path, or '@' and an abstract name).
class ManagerSocket {
public:
    explicit ManagerSocket(const std::string& name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path, sizeof address.sun_path - 1);
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (name[0] == '@') {
            address.sun_path[0] = '\0';
        } else {
            length += 1;
        }
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    }
    ~ManagerSocket() { ::close(fd_); }
    ManagerSocket(const ManagerSocket&) = delete;
    ManagerSocket& operator=(const ManagerSocket&) = delete;

    [[nodiscard]] bool bound() const { return bound_; }

    // The datagram waiting, or "" when none is.
    [[nodiscard]] std::string take() const {
        char buffer[256];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceManagerNotify, SaysReadyOnceAtAPathOrAnAbstractNameAndForgetsTheSocket) {
    test::TempDir folder;
    const std::string names[] = {
        folder.path() + "/notify",
        "@quorvane-notify-test-" + std::to_string(::getpid()),
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ManagerSocket manager(name);
        ASSERT_TRUE(manager.bound());
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);

        EXPECT_TRUE(notifyServiceManagerReady());
        EXPECT_EQ(manager.take(), "READY=1");
        EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);

        // Nothing more: the variable is gone.
        EXPECT_TRUE(notifyServiceManagerReady());
        EXPECT_EQ(manager.take(), "");
    }
}

TEST(ServiceManagerNotify, UnusableOrAbsentManagerSocketsFailWithTheReason) {
    test::TempDir folder;
    struct Case {
        std::string name;
        std::string reasonPart;
    };
    const Case cases[] = {
        {"relative/notify", "unusable"},
        {"/" + std::string(200, 'x'), "unusable"},
        {folder.path() + "/nobody-listens", "No such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv("NOTIFY_SOCKET", c.name.c_str(), 1);
        const Result<void> told = notifyServiceManagerReady();
        ASSERT_FALSE(told);
        EXPECT_NE(told.error().message.find(c.reasonPart), std::string::npos) << told.error().message;
        EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
    }
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_TRUE(notifyServiceManagerReady());
}

} // namespace
} // namespace quorvane
