// inflate_check.h - does a zlib stream keep to the rules zlib's inflate holds it to?
//
// The fast decoder accepts a few block shapes that zlib's inflate refuses: more than
// 286 literal/length or 30 distance codes in a block header, literal/length symbols
// 286-287 and distance symbols 30-31 in a fixed-code block, code length sets that are
// incomplete or hold a single code, a repeat that runs past the last length. A block
// decoded by the fast decoder is trusted only when this walk over its stream finds
// none of them: the walk reads every block header and steps over every code of the
// blocks before the last one (to find where the next header starts) without
// producing any output. A last block with a sound header of its own codes holds no
// code that the two decoders read differently, so its codes are not walked.
//
// Streams of fixed-code blocks need no code tables at all: they are decoded here
// directly (DecodeFixedStream), holding every code to zlib's rules as it goes.
#ifndef QUILLO_INFLATE_CHECK_H_
#define QUILLO_INFLATE_CHECK_H_

#include <cstddef>
#include <cstdint>

// True when the zlib stream at the start of the `length` bytes at `input` is made
// only of blocks whose headers and codes zlib's inflate reads exactly as written
// (complete code sets, counts within zlib's limits, no symbol outside them) and,
// where the walk reaches the end itself, ends, Adler-32 included, after exactly
// `streamLength` bytes (the fast decoder's count). False for anything else,
// including a stream that runs past the bytes given. The data itself and its
// checksum are not checked: the caller has decoded them already.
bool StreamKeepsZlibRules(const uint8_t* input, size_t length, size_t streamLength);

// Decodes a zlib stream made only of blocks with the fixed codes (short streams,
// such as table records, are nearly all of this kind) into the `capacity` bytes at
// `output`. True, with `*produced` bytes decoded, only when the stream is one that
// zlib's inflate decodes to exactly those bytes within `capacity`: a sound header,
// fixed-code blocks up to the last, no symbol outside zlib's limits, no distance
// before the start of the data, the Adler-32 whole within the `length` bytes and
// matching. False for anything else (another kind of block included), leaving the
// output's contents without meaning: the caller decodes the stream another way.
bool DecodeFixedStream(const uint8_t* input, size_t length, uint8_t* output, size_t capacity,
                       size_t* produced);

// Decodes a zlib stream of stored, fixed-code and dynamic blocks into the
// `capacity` bytes at `output` in one pass, holding every block to the rules
// zlib's inflate holds it to as it goes (counts within zlib's limits, complete
// code sets, no repeat before the first length or past the last, an end-of-block
// code, no symbol outside zlib's limits, no distance before the start of the data,
// stored lengths that match their complements, no more than `capacity` bytes),
// then the Adler-32. True, with `*produced` bytes decoded, only when zlib's inflate
// decodes the stream to exactly those bytes; false for anything else, including
// shapes zlib accepts but reads in its own way (incomplete code sets), leaving the
// output's contents without meaning: the caller decodes the stream another way.
bool DecodeStream(const uint8_t* input, size_t length, uint8_t* output, size_t capacity,
                  size_t* produced);

// Turns the fast decoders (DecodeFixedStream, and libdeflate where it is built in)
// off (false) or back on for the calling thread's codec calls, so that they can be
// compared with zlib on the same bytes. On by default.
void SetThreadFastDecode(bool enabled);

// True when this build has the fast decoder.
bool HaveFastDecode();

#endif  // QUILLO_INFLATE_CHECK_H_
