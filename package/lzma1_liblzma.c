// The three calls of package/lzma1.h over liblzma's LZMA1 decoder. This file
// is compiled by scripts/build-liblzma.sh inside the liblzma source tree, with
// the library's internal headers and options, and added to the static
// library the installer links.
#include "common.h"
#include "lzma_decoder.h"

extern lzma_ret
tailpack_lzma1_start(void **state, const lzma_allocator *allocator,
		const uint8_t *properties, uint32_t dictionary_cap)
{
	lzma_options_lzma options;
	if (lzma_lzma_lclppb_decode(&options, properties[0]))
		return LZMA_OPTIONS_ERROR;

	options.dict_size = read32le(properties + 1);
	if (options.dict_size > dictionary_cap)
		options.dict_size = dictionary_cap;
	if (options.dict_size < LZMA_DICT_SIZE_MIN)
		options.dict_size = LZMA_DICT_SIZE_MIN;
	options.preset_dict = NULL;
	options.preset_dict_size = 0;

	lzma_next_coder *next = lzma_alloc(sizeof(*next), allocator);
	if (next == NULL)
		return LZMA_MEM_ERROR;

	*next = LZMA_NEXT_CODER_INIT;
	lzma_filter_info filters[2] = {
		{ .id = LZMA_FILTER_LZMA1, .init = &lzma_lzma_decoder_init,
				.options = &options },
		{ .init = NULL },
	};
	const lzma_ret ret = lzma_lzma_decoder_init(next, allocator, filters);
	if (ret != LZMA_OK) {
		lzma_next_end(next, allocator);
		lzma_free(next, allocator);
		return ret;
	}

	*state = next;
	return LZMA_OK;
}

extern lzma_ret
tailpack_lzma1_run(void *state, const lzma_allocator *allocator,
		const uint8_t *in, size_t *in_pos, size_t in_size,
		uint8_t *out, size_t *out_pos, size_t out_size)
{
	lzma_next_coder *next = state;
	return next->code(next->coder, allocator, in, in_pos, in_size,
			out, out_pos, out_size, LZMA_RUN);
}

extern void
tailpack_lzma1_end(void *state, const lzma_allocator *allocator)
{
	lzma_next_end(state, allocator);
	lzma_free(state, allocator);
}
