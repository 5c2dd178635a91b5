#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/engine_core.h"
#include "link/link.h"

namespace zovir {

// Raw (unframed or not yet parsed) replies on the diagnostic port. A reply may arrive in
// pieces, so these keep reading while bytes come; a read that brings nothing ends the wait
// once `emptyReads` such reads happened (each is bounded by the port's read time-out).

// Reads until n bytes arrived, the engine stopped, or `emptyReads` reads brought nothing.
// Returns the bytes read.
size_t ReadFull(EngineCore& core, Link& link, uint8_t* buffer, size_t n, int emptyReads);
// Reads until n bytes arrived, the engine stopped, or `limitMs` passed since the call, however
// many reads that takes. Returns the bytes read.
size_t ReadFullWithin(EngineCore& core, Link& link, uint8_t* buffer, size_t n, uint32_t limitMs);

// Puts one command into the link's frame buffer (escaped, check, closing flag).
void BuildCommandFrame(Link& link, const uint8_t* payload, size_t n);
// The programmer's (and the firmware's) reset command.
void BuildResetFrame(Link& link);

// Reads one reply frame as raw bytes (opening flag, content, closing flag; escapes kept) of
// at most `capacity` bytes. The first read asks for `firstRead` bytes (the usual size of the
// reply, so nothing after it is taken from the port), later reads for what may still come.
// Returns the bytes read; the reply is complete when it ends with a closing flag after content.
size_t ReadRawReply(EngineCore& core, Link& link, uint8_t* buffer, size_t capacity, int emptyReads,
                    size_t firstRead);

// " 7E 08 00 ..." : a space and two upper-case hex digits per byte.
std::string HexBytes(const uint8_t* data, size_t n);

void PutLE32(uint8_t* out, uint32_t value);
uint32_t GetLE32(const uint8_t* in);

}  // namespace zovir
