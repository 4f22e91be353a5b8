// Raw LZMA1 decoding through liblzma's LZMA1 decoder, in three calls.
//
// The installer links package/lzma1_liblzma.c, which scripts/build-liblzma.sh
// compiles into its static liblzma against the library's own decoder: the
// stub then carries the LZMA1 decoder without liblzma's generic stream and
// filter-chain layers, which it does not use. The host tool and the tests
// link package/lzma1_public.cc, the same three calls over liblzma's public
// raw decoder. Both decode exactly the same streams.
#pragma once

#include <lzma.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Starts a decoder for the five property bytes at `properties` (lc/lp/pb,
// then the little-endian dictionary size), with the dictionary clamped to
// `dictionaryCap` and raised to LZMA_DICT_SIZE_MIN. Returns LZMA_OK with
// `*state` set, LZMA_OPTIONS_ERROR for a properties byte above 224 or lc + lp
// above 4, or LZMA_MEM_ERROR.
lzma_ret tailpack_lzma1_start(void** state, const lzma_allocator* allocator, const uint8_t* properties,
                              uint32_t dictionaryCap);

// Decodes input from in[*in_pos] up to in_size into out[*out_pos] up to
// out_size, advancing both positions; stops when either runs out. Returns
// LZMA_OK (call again with more input or more room), LZMA_STREAM_END (an end
// marker), LZMA_DATA_ERROR, LZMA_MEM_ERROR, or on the public build also
// LZMA_BUF_ERROR (no progress possible).
lzma_ret tailpack_lzma1_run(void* state, const lzma_allocator* allocator, const uint8_t* in, size_t* in_pos,
                            size_t in_size, uint8_t* out, size_t* out_pos, size_t out_size);

// Frees the decoder and its dictionary.
void tailpack_lzma1_end(void* state, const lzma_allocator* allocator);

#ifdef __cplusplus
}
#endif
