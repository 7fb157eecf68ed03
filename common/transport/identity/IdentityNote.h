#pragma once

// Builds the ELF note that tells which Quorvane program a binary is. Included
// only by the identity objects; each program links exactly one of them.
//
// Note layout (4-byte aligned): namesz, descsz, type, "Quorvane\0" padded to 12
// bytes, then "<team>\0<identifier>\0" padded to a multiple of 4.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/ControlProtocol.h"
#include "common/transport/ProgramIdentity.h"

namespace quorvane::identity_note {

constexpr std::size_t padded(std::size_t size) {
    return (size + 3) / 4 * 4;
}

constexpr std::size_t descSize(std::string_view identifier) {
    return quorvaneTeamIdentifier.size() + 1 + identifier.size() + 1;
}

template <std::size_t DescBytes>
struct Note {
    std::uint32_t nameSize;
    std::uint32_t descSize;
    std::uint32_t type;
    char name[padded(identityNoteName.size() + 1)];
    char desc[padded(DescBytes)];
};

template <std::size_t DescBytes>
constexpr Note<DescBytes> makeNote(std::string_view identifier) {
    Note<DescBytes> note{};
    note.nameSize = static_cast<std::uint32_t>(identityNoteName.size() + 1);
    note.descSize = static_cast<std::uint32_t>(DescBytes);
    note.type = identityNoteType;
    for (std::size_t i = 0; i < identityNoteName.size(); ++i) {
        note.name[i] = identityNoteName[i];
    }
    std::size_t at = 0;
    for (char c : quorvaneTeamIdentifier) {
        note.desc[at++] = c;
    }
    note.desc[at++] = '\0';
    for (char c : identifier) {
        note.desc[at++] = c;
    }
    return note;
}

} // namespace quorvane::identity_note

// Defines the note for one program identifier. The section name makes the
// assembler mark it as a note, and the linker places it in a PT_NOTE segment;
// "used" and "retain" keep it even though no code refers to it.
#define QUORVANE_DEFINE_IDENTITY_NOTE(identifierConstant)                                                    \
    [[gnu::used, gnu::retain, gnu::section(".note.quorvane.identity")]] alignas(4) constexpr ::quorvane::    \
        identity_note::Note<::quorvane::identity_note::descSize(identifierConstant)>                         \
            quorvaneIdentityNote = ::quorvane::identity_note::makeNote<::quorvane::identity_note::descSize(  \
                identifierConstant)>(identifierConstant)
