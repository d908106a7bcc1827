// Control of the tests' uuid_to_string stand-in (uuid.h beside this file):
// what the next calls answer, and what the last call saw and handed out. Not
// locked: the tests that steer it run on one thread. LastCall takes no lock and
// allocates nothing, so a replacement of free may ask it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zentrel::test::uuid_standin {

// Every later call answers `status` and a fresh malloc'ed copy of `text` (a
// null text for std::nullopt), whatever the record says.
void Answer(std::uint32_t status, std::optional<std::string> text);
// Every later call formats the record as the platform does: 36 lower-case
// characters, status 0. The initial state.
void AnswerNormally();

struct Call {
    std::uint64_t count = 0;          // calls made so far
    char* textOnEntry = nullptr;      // *text when the last call began
    std::uint32_t statusOnEntry = 0;  // *status when the last call began
    const char* handedOut = nullptr;  // the text the last call stored (may be null)
};
Call LastCall();

}  // namespace zentrel::test::uuid_standin
