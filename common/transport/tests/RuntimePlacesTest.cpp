#include "common/transport/RuntimePlaces.h"
#include "common/transport/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {
namespace {

using test::TempDir;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class RuntimePlaces : public ::testing::Test {
protected:
    TempDir root = test::runtimeFolder();

    RuntimeEnvironment env() const {
        RuntimeEnvironment e;
        e.uid = ::geteuid();
        e.runUserBase = root.path() + "/run-user";
        e.tmpBase = root.path() + "/tmp";
        return e;
    }
};

TEST_F(RuntimePlaces, XdgRuntimeDirHoldsAPrivateQuorvaneFolder) {
    RuntimeEnvironment e = env();
    e.xdgRuntimeDir = root.path() + "/xdg/"; // a trailing slash is harmless
    const Result<ServicePlaces> created = resolveServicePlaces(e, FolderUse::create);
    ASSERT_TRUE(created.ok()) << created.error().message;
    EXPECT_EQ(created->directory, root.path() + "/xdg/quorvane");
    EXPECT_EQ(created->socketPath, root.path() + "/xdg/quorvane/K7QW2ZR5VD.com.zentrafell.quorvane.host");
    EXPECT_EQ(created->lockPath, created->socketPath + ".lock");
    EXPECT_EQ(created->controlDirectory, root.path() + "/xdg/quorvane-control");
    EXPECT_EQ(created->controlSocketPath,
              root.path() + "/xdg/quorvane-control/K7QW2ZR5VD.com.zentrafell.quorvane.host");
    EXPECT_EQ(modeOf(root.path() + "/xdg"), 0700u);
    EXPECT_EQ(modeOf(root.path() + "/xdg/quorvane"), 0700u);
    EXPECT_EQ(modeOf(root.path() + "/xdg/quorvane-control"), 0700u);

    // A client finds the same place and never creates one.
    const Result<ServicePlaces> found = resolveServicePlaces(e, FolderUse::existingOnly);
    ASSERT_TRUE(found.ok()) << found.error().message;
    EXPECT_EQ(found->socketPath, created->socketPath);

    e.xdgRuntimeDir = root.path() + "/elsewhere";
    EXPECT_FALSE(resolveServicePlaces(e, FolderUse::existingOnly).ok());
    EXPECT_FALSE(exists(root.path() + "/elsewhere"));
}

TEST_F(RuntimePlaces, RunUserFolderIsUsedOnlyWhenItIsOursAndPrivate) {
    const std::string runUser = root.path() + "/run-user";
    const std::string ours = runUser + "/" + std::to_string(::geteuid());
    ASSERT_EQ(::mkdir(runUser.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(ours.c_str(), 0700), 0);

    // Unset, empty and relative XDG_RUNTIME_DIR all fall through to /run/user.
    for (const std::optional<std::string>& xdg :
         {std::optional<std::string>{}, std::optional<std::string>{""},
          std::optional<std::string>{"relative/dir"}}) {
        RuntimeEnvironment e = env();
        e.xdgRuntimeDir = xdg;
        const Result<ServicePlaces> r = resolveServicePlaces(e, FolderUse::create);
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(r->directory, ours + "/quorvane");
    }

    // With group bits it is not ours to use: the /tmp rule applies.
    ASSERT_EQ(::chmod(ours.c_str(), 0750), 0);
    ASSERT_EQ(::mkdir((root.path() + "/tmp").c_str(), 0777), 0);
    const Result<ServicePlaces> r = resolveServicePlaces(env(), FolderUse::create);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->directory, root.path() + "/tmp/quorvane-" + std::to_string(::geteuid()));
}

TEST_F(RuntimePlaces, TmpFallbackHasNoExtraLevelAndIsCreatedPrivate) {
    ASSERT_EQ(::mkdir((root.path() + "/tmp").c_str(), 0777), 0);
    const std::string expected = root.path() + "/tmp/quorvane-" + std::to_string(::geteuid());
    EXPECT_FALSE(resolveServicePlaces(env(), FolderUse::existingOnly).ok());

    const Result<ServicePlaces> r = resolveServicePlaces(env(), FolderUse::create);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->directory, expected);
    EXPECT_EQ(r->socketPath, expected + "/K7QW2ZR5VD.com.zentrafell.quorvane.host");
    EXPECT_EQ(modeOf(expected), 0700u);
    EXPECT_TRUE(resolveServicePlaces(env(), FolderUse::existingOnly).ok());
}

// A folder that fails its check is refused with a message naming the fault, for
// the XDG folder, the quorvane folder inside it and the /tmp fallback alike.
TEST_F(RuntimePlaces, RefusesFoldersThatAreNotPrivateDirectoriesOfOurs) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> plant;
        const char* message;
        bool needsRoot;
    };
    const Case cases[] = {
        {"open mode",
         [](const std::string& p) {
             ASSERT_EQ(::mkdir(p.c_str(), 0700), 0);
             ::chmod(p.c_str(), 0755);
         },
         "mode 0755", false},
        {"group bit",
         [](const std::string& p) {
             ASSERT_EQ(::mkdir(p.c_str(), 0700), 0);
             ::chmod(p.c_str(), 0710);
         },
         "mode 0710", false},
        {"symbolic link",
         [this](const std::string& p) {
             static int targets = 0;
             const std::string target = root.path() + "/target-" + std::to_string(++targets);
             ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
             ASSERT_EQ(::symlink(target.c_str(), p.c_str()), 0);
         },
         "symbolic link", false},
        {"regular file",
         [](const std::string& p) {
             const int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0600);
             ASSERT_GE(fd, 0);
             ::close(fd);
         },
         "not a directory", false},
        {"foreign owner",
         [](const std::string& p) {
             ASSERT_EQ(::mkdir(p.c_str(), 0700), 0);
             ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
         },
         "belongs to uid 65534", true},
    };
    const std::string uidText = std::to_string(::geteuid());
    for (const Case& c : cases) {
        if (c.needsRoot && ::geteuid() != 0) {
            continue; // only root can give a folder away
        }
        for (int where = 0; where < 3; ++where) {
            SCOPED_TRACE(std::string(c.name) + " at place " + std::to_string(where));
            TempDir scratch(root.path());
            RuntimeEnvironment e = env();
            e.runUserBase = scratch.path() + "/run-user";
            e.tmpBase = scratch.path();
            std::string victim;
            if (where == 0) {
                e.xdgRuntimeDir = scratch.path() + "/xdg";
                victim = *e.xdgRuntimeDir;
            } else if (where == 1) {
                e.xdgRuntimeDir = scratch.path() + "/xdg";
                ASSERT_EQ(::mkdir(e.xdgRuntimeDir->c_str(), 0700), 0);
                victim = *e.xdgRuntimeDir + "/quorvane";
            } else {
                victim = scratch.path() + "/quorvane-" + uidText;
            }
            c.plant(victim);
            for (FolderUse use : {FolderUse::create, FolderUse::existingOnly}) {
                const Result<ServicePlaces> r = resolveServicePlaces(e, use);
                EXPECT_FALSE(r.ok());
                EXPECT_NE(r.error().message.find(victim), std::string::npos) << r.error().message;
                EXPECT_NE(r.error().message.find(c.message), std::string::npos) << r.error().message;
            }
        }
    }
}

TEST_F(RuntimePlaces, SocketPathThatDoesNotFitIsRefusedBeforeAnythingIsCreated) {
    RuntimeEnvironment e = env();
    const std::string parent = root.path() + "/" + std::string(100, 'x');
    e.xdgRuntimeDir = parent + "/xdg";
    const Result<ServicePlaces> r = resolveServicePlaces(e, FolderUse::create);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.error().message.find("bytes long"), std::string::npos) << r.error().message;
    EXPECT_NE(r.error().message.find("at most 107"), std::string::npos) << r.error().message;
    EXPECT_FALSE(exists(parent));

    // The longest path that fits is accepted; the control socket's is the
    // longer one, and one byte more refuses both.
    RuntimeEnvironment fits = env();
    const std::size_t fixed = std::string("/quorvane-control/").size() + quorvaneServiceName.size();
    const std::size_t room = maxSocketPathLength - fixed - root.path().size() - 1;
    fits.xdgRuntimeDir = root.path() + "/" + std::string(room, 'y');
    const Result<ServicePlaces> ok = resolveServicePlaces(fits, FolderUse::create);
    ASSERT_TRUE(ok.ok()) << ok.error().message;
    EXPECT_EQ(ok->controlSocketPath.size(), maxSocketPathLength);
    EXPECT_LT(ok->socketPath.size(), maxSocketPathLength);

    RuntimeEnvironment tooLong = env();
    tooLong.xdgRuntimeDir = root.path() + "/" + std::string(room + 1, 'z');
    const Result<ServicePlaces> refused = resolveServicePlaces(tooLong, FolderUse::create);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message.find("quorvane-control"), std::string::npos) << refused.error().message;
}

} // namespace
} // namespace quorvane
