#include "common/transport/ProgramIdentity.h"

#include "common/ControlProtocol.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace quorvane {

namespace {

// ---- The one mapping from requirement texts to admitted programs --------------

struct ProgramEntry {
    std::string_view identifier;
    ProgramRole role;
};

// quorvanectl speaks for the operator exactly as the app does.
constexpr std::array<ProgramEntry, 4> knownPrograms{{
    {quorvaneHostIdentifier, ProgramRole::host},
    {quorvaneBridgeIdentifier, ProgramRole::bridge},
    {quorvaneAppIdentifier, ProgramRole::app},
    {quorvaneCtlIdentifier, ProgramRole::app},
}};

struct RequirementRule {
    std::string_view requirement;
    bool admitsHost;
    bool admitsBridge;
    bool admitsApp;
};

// The caller requirement names the bridge and the app; the host requirement
// names the host. Both name the team, which roleOf checks.
constexpr std::array<RequirementRule, 2> requirementRules{{
    {quorvaneCallerRequirement, false, true, true},
    {quorvaneHostRequirement, true, false, false},
}};

// ---- Bounded ELF reading --------------------------------------------------------

constexpr std::size_t maxProgramHeaders = 4096;
constexpr std::uint64_t maxNoteSegment = 64 * 1024;
constexpr std::uint64_t maxNoteBytesTotal = 1024 * 1024;

bool readAt(int fd, void* out, std::size_t size, std::uint64_t offset) {
    auto* bytes = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Reads one NUL-terminated string from desc starting at pos; advances pos past the NUL.
std::optional<std::string> takeCString(const unsigned char* desc, std::size_t size, std::size_t& pos) {
    for (std::size_t i = pos; i < size; ++i) {
        if (desc[i] == 0) {
            std::string text(reinterpret_cast<const char*>(desc + pos), i - pos);
            pos = i + 1;
            return text;
        }
    }
    return std::nullopt;
}

// Collects the identity notes of one note segment. False when the segment's
// notes are malformed.
bool scanNotes(const std::vector<unsigned char>& segment, std::uint64_t alignment,
               std::vector<ProgramIdentity>& found) {
    const std::uint64_t size = segment.size();
    std::uint64_t pos = 0;
    while (pos + 12 <= size) {
        std::uint32_t header[3];
        std::memcpy(header, segment.data() + pos, sizeof header);
        const std::uint64_t nameSize = header[0];
        const std::uint64_t descSize = header[1];
        const std::uint32_t type = header[2];
        const std::uint64_t nameStart = pos + 12;
        if (nameSize > size - nameStart) {
            return false;
        }
        const std::uint64_t descStart = alignUp(nameStart + nameSize, alignment);
        if (descStart > size || descSize > size - descStart) {
            return false;
        }
        const bool ours =
            nameSize == identityNoteName.size() + 1 && type == identityNoteType &&
            std::memcmp(segment.data() + nameStart, identityNoteName.data(), identityNoteName.size()) == 0 &&
            segment[nameStart + identityNoteName.size()] == 0;
        if (ours) {
            const unsigned char* desc = segment.data() + descStart;
            std::size_t at = 0;
            auto team = takeCString(desc, descSize, at);
            auto identifier = team ? takeCString(desc, descSize, at) : std::nullopt;
            if (!identifier) {
                return false;
            }
            found.push_back({std::move(*team), std::move(*identifier)});
        }
        pos = alignUp(descStart + descSize, alignment);
    }
    return true;
}

} // namespace

std::string_view roleName(ProgramRole role) {
    switch (role) {
    case ProgramRole::host:
        return "host";
    case ProgramRole::bridge:
        return "bridge";
    case ProgramRole::app:
        return "app";
    }
    return "unknown";
}

std::optional<ProgramRole> roleOf(const ProgramIdentity& identity) {
    if (identity.team != quorvaneTeamIdentifier) {
        return std::nullopt;
    }
    for (const auto& entry : knownPrograms) {
        if (identity.identifier == entry.identifier) {
            return entry.role;
        }
    }
    return std::nullopt;
}

bool requirementAdmits(std::string_view requirement, ProgramRole role) {
    for (const auto& rule : requirementRules) {
        if (rule.requirement == requirement) {
            switch (role) {
            case ProgramRole::host:
                return rule.admitsHost;
            case ProgramRole::bridge:
                return rule.admitsBridge;
            case ProgramRole::app:
                return rule.admitsApp;
            }
        }
    }
    return false;
}

Result<ProgramIdentity> readProgramIdentity(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return fail(std::string("cannot inspect the program: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return fail("the program is not a regular file");
    }
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);

    Elf64_Ehdr eh{};
    if (fileSize < sizeof eh || !readAt(fd, &eh, sizeof eh, 0)) {
        return fail("the program is not an ELF file");
    }
    const unsigned char nativeData = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) {
        return fail("the program is not an ELF file");
    }
    if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != nativeData ||
        eh.e_ident[EI_VERSION] != EV_CURRENT) {
        return fail("the program is not a native 64-bit ELF file");
    }
    if (eh.e_phnum == 0 || eh.e_phnum == PN_XNUM || eh.e_phnum > maxProgramHeaders ||
        eh.e_phentsize != sizeof(Elf64_Phdr)) {
        return fail("the program's headers are malformed");
    }
    const std::uint64_t tableSize = std::uint64_t{eh.e_phnum} * sizeof(Elf64_Phdr);
    if (eh.e_phoff > fileSize || tableSize > fileSize - eh.e_phoff) {
        return fail("the program's headers are malformed");
    }
    std::vector<Elf64_Phdr> headers(eh.e_phnum);
    if (!readAt(fd, headers.data(), tableSize, eh.e_phoff)) {
        return fail("the program's headers cannot be read");
    }

    std::vector<ProgramIdentity> found;
    std::uint64_t noteBytes = 0;
    for (const auto& ph : headers) {
        if (ph.p_type != PT_NOTE || ph.p_filesz == 0) {
            continue;
        }
        if (ph.p_filesz > maxNoteSegment || ph.p_offset > fileSize || ph.p_filesz > fileSize - ph.p_offset) {
            return fail("the program's note segments are malformed");
        }
        noteBytes += ph.p_filesz;
        if (noteBytes > maxNoteBytesTotal) {
            return fail("the program's note segments are malformed");
        }
        std::vector<unsigned char> segment(static_cast<std::size_t>(ph.p_filesz));
        if (!readAt(fd, segment.data(), segment.size(), ph.p_offset)) {
            return fail("the program's note segments cannot be read");
        }
        if (!scanNotes(segment, ph.p_align == 8 ? 8 : 4, found)) {
            return fail("the program's note segments are malformed");
        }
    }

    if (found.empty()) {
        return fail("the program carries no Quorvane identity");
    }
    for (const auto& other : found) {
        if (!(other == found.front())) {
            return fail("the program carries conflicting Quorvane identities");
        }
    }
    return found.front();
}

Result<ProgramIdentity> readProgramIdentityAt(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return fail("cannot open the program " + path + ": " + std::strerror(errno));
    }
    Result<ProgramIdentity> reading = readProgramIdentity(fd);
    ::close(fd);
    return reading;
}

Result<ProgramIdentity> readProcessIdentity(pid_t pid) {
    return readProgramIdentityAt("/proc/" + std::to_string(pid) + "/exe");
}

Result<VerifiedPeer> verifyPeer(int socketFd, std::string_view requirement,
                                const ProgramIdentityReader& reader) {
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) {
        return fail(std::string("cannot read the peer's credentials: ") + std::strerror(errno));
    }
    const uid_t ours = ::geteuid();
    if (cred.uid != ours) {
        return fail("the peer runs as uid " + std::to_string(cred.uid) + ", not as uid " +
                    std::to_string(ours));
    }
    if (cred.pid <= 0) {
        return fail("the peer's process is unknown");
    }

    // A process descriptor pins the peer, so that a pid reused while the
    // executable is read is noticed.
    int pidfd = -1;
    socklen_t pidfdLength = sizeof pidfd;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &pidfdLength) != 0) {
        pidfd = -1;
#ifdef SYS_pidfd_open
        pidfd = static_cast<int>(::syscall(SYS_pidfd_open, cred.pid, 0));
        if (pidfd < 0 && errno == ESRCH) {
            return fail("the peer's process has ended");
        }
#endif
    }

    Result<ProgramIdentity> reading = reader ? reader(cred.pid) : readProcessIdentity(cred.pid);

    bool stillThere = true;
#ifdef SYS_pidfd_send_signal
    if (pidfd >= 0) {
        stillThere = ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
    }
#endif
    if (pidfd >= 0) {
        ::close(pidfd);
    }
    if (!stillThere) {
        return fail("the peer's process ended while it was verified");
    }
    if (!reading) {
        return fail("the peer is not a Quorvane program: " + reading.error().message);
    }
    const auto role = roleOf(*reading);
    if (!role) {
        return fail("the peer's identity " + reading->team + " " + reading->identifier +
                    " is not a Quorvane program");
    }
    if (!requirementAdmits(requirement, *role)) {
        return fail("the peer is the Quorvane " + std::string(roleName(*role)) +
                    ", which is not admitted here");
    }
    return VerifiedPeer{*role, cred.pid};
}

} // namespace quorvane
