// A "* n FETCH (...)" response read into what the run records of a message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct CFetchedMessage {
    uint32_t seq = 0;
    uint32_t uid = 0;   // 0: the response named none
    std::string flags;  // as listed, space-separated; "" none
    bool flagsGiven = false;
    std::string internalDate;  // as sent: "15-Jan-2020 10:00:00 +0100"
    uint64_t size = 0;         // RFC822.SIZE
    bool sizeGiven = false;
    std::string header;  // the header block: from its literal, or a quoted string
    bool body = false;   // a BODY[] literal came with it
};

// head: the response as the reader keeps it, each literal in it replaced by
// CR LF after its "{n}" (the literal's bytes went elsewhere). False when it
// is no well-formed FETCH response.
bool ParseFetchResponse(std::string_view head, CFetchedMessage& message);

// The ISO 8601 form of an INTERNALDATE ("15-Jan-2020 10:00:00 +0100" ->
// "2020-01-15T10:00:00+01:00"); "" when it is none.
std::string IsoInternalDate(std::string_view date);
