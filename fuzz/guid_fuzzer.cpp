// GUIDFromString on arbitrary text: an accepted text formats back to the same
// GUID (upper case, braced), a rejected one leaves the output as it was. The
// first 16 bytes also go the other way: format, then parse back.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "automation/strings/guid_text.h"

namespace {

constexpr GUID kSentinel = {0x5A5A5A5A, 0x5A5A, 0x5A5A, {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}};

void Check(bool condition) {
    if (!condition) std::abort();
}

std::string Format(const GUID& guid) {
    char buffer[39];
    Check(StringFromGUID2(guid, buffer, sizeof buffer) == 39);
    Check(buffer[38] == '\0');
    return std::string(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated by c_str()
    GUID guid = kSentinel;
    if (!GUIDFromString(text.c_str(), &guid)) {
        Check(std::memcmp(&guid, &kSentinel, sizeof guid) == 0);
    } else {
        const std::string formatted = Format(guid);
        const std::size_t length = std::strlen(text.c_str());
        if (length == 0) {
            Check(guid == GUID{});
        } else {
            std::string upper = text.substr(0, length);
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (upper[0] != '{') upper = "{" + upper + "}";
            Check(upper == formatted);
        }
        GUID again = kSentinel;
        Check(GUIDFromString(formatted.c_str(), &again) && again == guid);
    }

    if (size >= sizeof(GUID)) {
        GUID raw;
        std::memcpy(&raw, data, sizeof raw);
        const std::string formatted = Format(raw);
        for (char c : formatted) Check(!std::islower(static_cast<unsigned char>(c)));
        GUID parsed = kSentinel;
        Check(GUIDFromString(formatted.c_str(), &parsed) && parsed == raw);
        parsed = kSentinel;
        Check(GUIDFromString(formatted.substr(1, 36).c_str(), &parsed) && parsed == raw);
    }
    return 0;
}
