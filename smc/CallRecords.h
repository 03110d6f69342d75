// The request records of the four commands, and one exchange of them on a
// given connection: what callers of the access layer use instead of filling
// an SMCKeyData themselves. Header-only: the builders need no library, the
// exchange only the layer's SMCCall2.
#pragma once

#include "smc/smc.h"

#include <algorithm>
#include <cstring>

namespace smc {

// A record asking for `key`'s size and type.
inline SMCKeyData keyInfoRequest(FourCharCode key)
{
    SMCKeyData request{};
    request.key = key;
    request.command = SMCCommandKeyInfo;
    return request;
}

// A record asking for `key`'s value, `size` bytes (its size as the key's
// information gives it).
inline SMCKeyData readRequest(FourCharCode key, uint32_t size)
{
    SMCKeyData request{};
    request.key = key;
    request.dataSize = size;
    request.command = SMCCommandReadKey;
    return request;
}

// A record writing `size` bytes to `key`; at most the record's 32 are copied.
inline SMCKeyData writeRequest(FourCharCode key, const void* bytes, uint32_t size)
{
    SMCKeyData request{};
    request.key = key;
    request.dataSize = size;
    request.command = SMCCommandWriteKey;
    std::memcpy(request.bytes, bytes, std::min<size_t>(size, sizeof request.bytes));
    return request;
}

// A record asking for the key at position `index`.
inline SMCKeyData keyAtIndexRequest(uint32_t index)
{
    SMCKeyData request{};
    request.index = index;
    request.command = SMCCommandKeyAtIndex;
    return request;
}

// One exchange of `request` on `connection` (through SMCCall2), `reply`
// cleared first. The exchange's status.
inline kern_return_t call(io_connect_t connection, SMCKeyData request, SMCKeyData& reply)
{
    reply = SMCKeyData{};
    return SMCCall2(kSMCUserClientCall, &request, &reply, connection);
}

}  // namespace smc
