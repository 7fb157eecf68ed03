#include "common/transport/ProgramIdentity.h"
#include "common/transport/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {
namespace {

using test::TempDir;

// The identity read, or nothing, for comparing with an expected one.
std::optional<ProgramIdentity> identityIn(const Result<ProgramIdentity>& reading) {
    return reading ? std::optional<ProgramIdentity>(*reading) : std::nullopt;
}

ProgramIdentity identityOf(std::string_view identifier) {
    return {std::string(quorvaneTeamIdentifier), std::string(identifier)};
}

TEST(ProgramIdentityRules, RequirementTextsAdmitExactlyTheirPrograms) {
    struct Case {
        std::string_view requirement;
        ProgramRole role;
        bool admitted;
    };
    const Case cases[] = {
        {quorvaneCallerRequirement, ProgramRole::bridge, true},
        {quorvaneCallerRequirement, ProgramRole::app, true},
        {quorvaneCallerRequirement, ProgramRole::host, false},
        {quorvaneHostRequirement, ProgramRole::host, true},
        {quorvaneHostRequirement, ProgramRole::bridge, false},
        {quorvaneHostRequirement, ProgramRole::app, false},
        {"identifier \"com.zentrafell.quorvane.host\"", ProgramRole::host, false},
        {"", ProgramRole::bridge, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(requirementAdmits(c.requirement, c.role), c.admitted)
            << c.requirement << " / " << roleName(c.role);
    }
    EXPECT_EQ(roleOf(identityOf(quorvaneHostIdentifier)), ProgramRole::host);
    EXPECT_EQ(roleOf(identityOf(quorvaneBridgeIdentifier)), ProgramRole::bridge);
    EXPECT_EQ(roleOf(identityOf(quorvaneAppIdentifier)), ProgramRole::app);
    EXPECT_EQ(roleOf(identityOf(quorvaneCtlIdentifier)), ProgramRole::app) << "quorvanectl is an operator";
    EXPECT_EQ(roleOf({"OTHERTEAM1", std::string(quorvaneHostIdentifier)}), std::nullopt);
    EXPECT_EQ(roleOf(identityOf("com.zentrafell.quorvane.hostile")), std::nullopt);
}

TEST(ProgramIdentityReading, BuiltProgramsCarryTheIdentityTheyLinked) {
    EXPECT_EQ(identityIn(readProgramIdentityAt("/proc/self/exe")), identityOf(quorvaneHostIdentifier));
    EXPECT_EQ(identityIn(readProcessIdentity(::getpid())), identityOf(quorvaneHostIdentifier));
    EXPECT_EQ(identityIn(readProgramIdentityAt(test::peerProgram("host"))),
              identityOf(quorvaneHostIdentifier));
    EXPECT_EQ(identityIn(readProgramIdentityAt(test::peerProgram("bridge"))),
              identityOf(quorvaneBridgeIdentifier));
    EXPECT_EQ(identityIn(readProgramIdentityAt(test::peerProgram("app"))), identityOf(quorvaneAppIdentifier));

    const Result<ProgramIdentity> plain = readProgramIdentityAt(test::peerProgram("plain"));
    EXPECT_FALSE(plain.ok());
    EXPECT_NE(plain.error().message.find("no Quorvane identity"), std::string::npos) << plain.error().message;
    EXPECT_FALSE(readProgramIdentityAt("/bin/sh").ok());
}

// ---- Hand-made ELF files --------------------------------------------------------

std::string noteBytes(std::string_view name, std::uint32_t type, const std::string& desc) {
    auto pad = [](std::string s) {
        s.resize((s.size() + 3) / 4 * 4, '\0');
        return s;
    };
    std::uint32_t header[3] = {static_cast<std::uint32_t>(name.size() + 1),
                               static_cast<std::uint32_t>(desc.size()), type};
    std::string out(reinterpret_cast<const char*>(header), sizeof header);
    out += pad(std::string(name) + '\0');
    out += pad(desc);
    return out;
}

std::string identityNote(std::string_view identifier) {
    return noteBytes("Quorvane", identityNoteType,
                     std::string(quorvaneTeamIdentifier) + '\0' + std::string(identifier) + '\0');
}

// An ELF64 file with one PT_NOTE segment holding `notes`.
struct ElfImage {
    Elf64_Ehdr eh{};
    Elf64_Phdr ph{};
    std::string notes;

    explicit ElfImage(std::string noteSegment) : notes(std::move(noteSegment)) {
        std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
        eh.e_ident[EI_CLASS] = ELFCLASS64;
        eh.e_ident[EI_DATA] = ELFDATA2LSB;
        eh.e_ident[EI_VERSION] = EV_CURRENT;
        eh.e_type = ET_DYN;
        eh.e_machine = EM_X86_64;
        eh.e_version = EV_CURRENT;
        eh.e_phoff = sizeof eh;
        eh.e_ehsize = sizeof eh;
        eh.e_phentsize = sizeof ph;
        eh.e_phnum = 1;
        ph.p_type = PT_NOTE;
        ph.p_offset = sizeof eh + sizeof ph;
        ph.p_filesz = notes.size();
        ph.p_memsz = notes.size();
        ph.p_align = 4;
    }

    std::string bytes() const {
        std::string out(reinterpret_cast<const char*>(&eh), sizeof eh);
        out.append(reinterpret_cast<const char*>(&ph), sizeof ph);
        return out + notes;
    }
};

class HandMadeElf : public ::testing::Test {
protected:
    TempDir dir{test::runtimeFolder()};
    int counter = 0;

    std::string write(const std::string& bytes) {
        const std::string path = dir.path() + "/file" + std::to_string(++counter);
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0700);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
        return path;
    }
};

TEST_F(HandMadeElf, FindsTheNoteAmongOthersAndAcceptsARepeat) {
    const std::string others = noteBytes("GNU", 1, std::string(16, '\1')) + noteBytes("Quorvane", 2, "xyz");
    ElfImage one(others + identityNote(quorvaneBridgeIdentifier));
    EXPECT_EQ(identityIn(readProgramIdentityAt(write(one.bytes()))), identityOf(quorvaneBridgeIdentifier));

    ElfImage twice(identityNote(quorvaneAppIdentifier) + identityNote(quorvaneAppIdentifier));
    EXPECT_EQ(identityIn(readProgramIdentityAt(write(twice.bytes()))), identityOf(quorvaneAppIdentifier));
}

// Every malformed file is refused with a reason, without crashing, hanging or
// reading beyond fixed bounds.
TEST_F(HandMadeElf, MalformedFilesHaveNoIdentity) {
    const std::string good = identityNote(quorvaneHostIdentifier);
    std::vector<std::pair<std::string, std::string>> cases;
    cases.emplace_back("empty", "");
    cases.emplace_back("text", "#!/bin/sh\necho hello\n");
    cases.emplace_back("header cut short", ElfImage(good).bytes().substr(0, 40));
    {
        ElfImage e(good);
        e.eh.e_ident[EI_CLASS] = ELFCLASS32;
        cases.emplace_back("32-bit", e.bytes());
    }
    {
        ElfImage e(good);
        e.eh.e_ident[EI_DATA] = ELFDATA2MSB;
        cases.emplace_back("foreign byte order", e.bytes());
    }
    {
        ElfImage e(good);
        e.eh.e_phnum = 0xFFFF;
        cases.emplace_back("extended header count", e.bytes());
    }
    {
        ElfImage e(good);
        e.eh.e_phnum = 4000;
        cases.emplace_back("headers beyond the end", e.bytes());
    }
    {
        ElfImage e(good);
        e.eh.e_phoff = ~std::uint64_t{0} - 8;
        cases.emplace_back("header offset overflows", e.bytes());
    }
    {
        ElfImage e(good);
        e.eh.e_phentsize = 32;
        cases.emplace_back("odd header size", e.bytes());
    }
    {
        ElfImage e(good);
        e.ph.p_filesz = 1u << 30;
        cases.emplace_back("note segment beyond the end", e.bytes());
    }
    {
        ElfImage e(good);
        e.ph.p_offset = ~std::uint64_t{0};
        cases.emplace_back("note offset overflows", e.bytes());
    }
    {
        std::string note = good;
        const std::uint32_t huge = 0xFFFFFFF0u;
        std::memcpy(note.data(), &huge, 4); // name size
        cases.emplace_back("note name runs off", ElfImage(note).bytes());
    }
    {
        std::string note = good;
        const std::uint32_t huge = 0xFFFFFFF0u;
        std::memcpy(note.data() + 4, &huge, 4); // desc size
        cases.emplace_back("note desc runs off", ElfImage(note).bytes());
    }
    cases.emplace_back(
        "desc without terminator",
        ElfImage(noteBytes("Quorvane", identityNoteType, std::string(quorvaneTeamIdentifier))).bytes());
    cases.emplace_back("no identity", ElfImage(noteBytes("GNU", 3, "abcd")).bytes());
    cases.emplace_back(
        "conflicting identities",
        ElfImage(identityNote(quorvaneAppIdentifier) + identityNote(quorvaneHostIdentifier)).bytes());

    for (const auto& [name, bytes] : cases) {
        const Result<ProgramIdentity> reading = readProgramIdentityAt(write(bytes));
        EXPECT_FALSE(reading.ok()) << name;
        EXPECT_FALSE(reading.error().message.empty()) << name;
    }
}

TEST_F(HandMadeElf, HugeSparseFileAndFifoAnswerQuickly) {
    // A valid header with a note segment far away in an 8 GiB sparse file.
    ElfImage e(identityNote(quorvaneHostIdentifier));
    e.ph.p_offset = (std::uint64_t{8} << 30) - 4096;
    const std::string path = write(e.bytes());
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(std::uint64_t{8} << 30)), 0);
    const Result<ProgramIdentity> sparse = readProgramIdentityAt(path);
    EXPECT_FALSE(sparse.ok()); // the segment there holds only zeros: no identity note
    EXPECT_FALSE(sparse.error().message.empty());

    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Result<ProgramIdentity> reading = readProgramIdentityAt(fifo); // must not wait for a writer
    EXPECT_FALSE(reading.ok());
    EXPECT_NE(reading.error().message.find("not a regular file"), std::string::npos)
        << reading.error().message;
}

} // namespace
} // namespace quorvane
