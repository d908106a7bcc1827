#include "uuid_standin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uuid.h"

namespace zentrel::test::uuid_standin {
namespace {

bool gNormal = true;
std::uint32_t gStatus = uuid_s_ok;
std::optional<std::string> gText;
Call gLast;

char* Copy(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

void Answer(std::uint32_t status, std::optional<std::string> text) {
    gNormal = false;
    gStatus = status;
    gText = std::move(text);
}

void AnswerNormally() { gNormal = true; }

Call LastCall() { return gLast; }

}  // namespace zentrel::test::uuid_standin

extern "C" void uuid_to_string(const uuid_t* id, char** text, uint32_t* status) {
    using namespace zentrel::test::uuid_standin;
    ++gLast.count;
    gLast.textOnEntry = *text;
    gLast.statusOnEntry = *status;
    if (gNormal) {
        char formatted[37];
        std::snprintf(formatted, sizeof formatted, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", id->time_low,
                      id->time_mid, id->time_hi_and_version, id->clock_seq_hi_and_reserved, id->clock_seq_low,
                      id->node[0], id->node[1], id->node[2], id->node[3], id->node[4], id->node[5]);
        *text = Copy(formatted);
        *status = *text != nullptr ? uuid_s_ok : uuid_s_no_memory;
    } else {
        *text = gText ? Copy(*gText) : nullptr;
        *status = gStatus;
    }
    gLast.handedOut = *text;
}
