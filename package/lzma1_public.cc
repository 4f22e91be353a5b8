// The three calls of package/lzma1.h over liblzma's public raw decoder, for
// the host tool, the tests and the fuzz targets.
#include "package/lzma1.h"

#include <cstdlib>
#include <new>

lzma_ret tailpack_lzma1_start(void** state, const lzma_allocator* allocator, const uint8_t* properties,
                              uint32_t dictionaryCap) {
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_ret ret = lzma_properties_decode(&filters[0], allocator, properties, 5);
  if (ret != LZMA_OK) return ret == LZMA_MEM_ERROR ? ret : LZMA_OPTIONS_ERROR;
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  if (options->dict_size > dictionaryCap) options->dict_size = dictionaryCap;
  if (options->dict_size < LZMA_DICT_SIZE_MIN) options->dict_size = LZMA_DICT_SIZE_MIN;
  auto* stream = new (std::nothrow) lzma_stream;
  if (stream == nullptr) {
    ret = LZMA_MEM_ERROR;
  } else {
    *stream = LZMA_STREAM_INIT;
    stream->allocator = allocator;
    ret = lzma_raw_decoder(stream, filters);
    if (ret != LZMA_OK) {
      lzma_end(stream);
      delete stream;
    }
  }
  if (allocator != nullptr) {
    allocator->free(allocator->opaque, options);
  } else {
    free(options);
  }
  if (ret != LZMA_OK) return ret == LZMA_MEM_ERROR ? ret : LZMA_OPTIONS_ERROR;
  *state = stream;
  return LZMA_OK;
}

lzma_ret tailpack_lzma1_run(void* state, const lzma_allocator*, const uint8_t* in, size_t* in_pos,
                            size_t in_size, uint8_t* out, size_t* out_pos, size_t out_size) {
  auto* stream = static_cast<lzma_stream*>(state);
  stream->next_in = in + *in_pos;
  stream->avail_in = in_size - *in_pos;
  stream->next_out = out + *out_pos;
  stream->avail_out = out_size - *out_pos;
  lzma_ret ret = lzma_code(stream, LZMA_RUN);
  *in_pos = in_size - stream->avail_in;
  *out_pos = out_size - stream->avail_out;
  return ret;
}

void tailpack_lzma1_end(void* state, const lzma_allocator*) {
  auto* stream = static_cast<lzma_stream*>(state);
  lzma_end(stream);
  delete stream;
}
