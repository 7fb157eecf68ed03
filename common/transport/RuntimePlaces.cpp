#include "common/transport/RuntimePlaces.h"

#include "common/ControlProtocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

namespace {

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Creates the folder when asked (mode 0700; an existing one is left as it is),
// then checks it.
Result<void> prepareFolder(const std::string& path, uid_t uid, FolderUse use) {
    if (use == FolderUse::create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("cannot create the folder " + path + ": " + std::strerror(errno));
    }
    return checkPrivateFolder(path, uid);
}

} // namespace

RuntimeEnvironment RuntimeEnvironment::current() {
    RuntimeEnvironment env;
    if (const char* value = std::getenv("XDG_RUNTIME_DIR")) {
        env.xdgRuntimeDir = std::string(value);
    }
    env.uid = ::getuid();
    return env;
}

Result<void> checkPrivateFolder(const std::string& path, uid_t uid) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return fail("cannot use the folder " + path + ": " + std::strerror(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        return fail("refusing the folder " + path + ": it is a symbolic link");
    }
    if (!S_ISDIR(st.st_mode)) {
        return fail("refusing the folder " + path + ": it is not a directory");
    }
    if (st.st_uid != uid) {
        return fail("refusing the folder " + path + ": it belongs to uid " + std::to_string(st.st_uid) +
                    ", not to uid " + std::to_string(uid));
    }
    if ((st.st_mode & 077) != 0) {
        return fail("refusing the folder " + path + ": its mode " + octalMode(st.st_mode) +
                    " lets group or others in (it must be 0700)");
    }
    return {};
}

Result<ServicePlaces> resolveServicePlaces(const RuntimeEnvironment& environment, FolderUse use) {
    const std::string uidText = std::to_string(environment.uid);
    std::optional<std::string> runtime; // the XDG folder, which is checked (and created) too
    std::string serviceDir;

    if (environment.xdgRuntimeDir && !environment.xdgRuntimeDir->empty() &&
        environment.xdgRuntimeDir->front() == '/') {
        std::string dir = *environment.xdgRuntimeDir;
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        serviceDir = (dir == "/" ? "" : dir) + "/quorvane";
        runtime = std::move(dir);
    } else if (const std::string runUser = environment.runUserBase + "/" + uidText;
               checkPrivateFolder(runUser, environment.uid)) {
        serviceDir = runUser + "/quorvane";
    } else {
        serviceDir = environment.tmpBase + "/quorvane-" + uidText;
    }

    ServicePlaces places;
    places.directory = serviceDir;
    places.socketPath = serviceDir + "/" + std::string(quorvaneServiceName);
    places.lockPath = places.socketPath + ".lock";
    places.controlDirectory = serviceDir + "-control";
    places.controlSocketPath = places.controlDirectory + "/" + std::string(quorvaneServiceName);
    for (const std::string* path : {&places.socketPath, &places.controlSocketPath}) {
        if (path->size() > maxSocketPathLength) {
            return fail("the service socket path " + *path + " is " + std::to_string(path->size()) +
                        " bytes long; a local socket address holds at most " +
                        std::to_string(maxSocketPathLength));
        }
    }

    if (runtime) {
        if (Result<void> prepared = prepareFolder(*runtime, environment.uid, use); !prepared) {
            return prepared.error();
        }
    }
    if (Result<void> prepared = prepareFolder(serviceDir, environment.uid, use); !prepared) {
        return prepared.error();
    }
    if (use == FolderUse::create) {
        if (Result<void> prepared = prepareFolder(places.controlDirectory, environment.uid, use); !prepared) {
            return prepared.error();
        }
    }
    return places;
}

} // namespace quorvane
