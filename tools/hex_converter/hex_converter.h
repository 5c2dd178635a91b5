#pragma once

// The hex conversion library: turns an Intel-HEX file into the binary image it describes.
// The image runs from the lowest to the highest address written; gaps are filled with 0xFF.
// Returns non-zero when the binary file was written, 0 on any malformed input (bad record,
// bad checksum, missing end-of-file record, conflicting data for one address, no data, or
// an image larger than 128 MiB) or when a file cannot be read or written. On failure the
// binary file is left untouched.
extern "C" int ConvertHexFile(const char* hexPath, const char* binPath);
