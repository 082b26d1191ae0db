/* The reference for the stub's decoding speed: reads a raw LZMA1 stream (lc 3,
 * lp 0, pb 2, the dictionary size given) whole into memory and decodes it
 * with liblzma into one 64 KiB buffer over and over, writing nothing.
 * Prints the decoded byte count and exits with 0, or 1 on failure.
 *   decode-memory.exe STREAM DICTIONARY_BYTES */
#include <lzma.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  FILE* file = fopen(argv[1], "rb");
  if (file == NULL) return 1;
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  fseek(file, 0, SEEK_SET);
  unsigned char* input = malloc((size_t)size);
  if (input == NULL || fread(input, 1, (size_t)size, file) != (size_t)size) return 1;
  fclose(file);

  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.lc = 3;
  options.lp = 0;
  options.pb = 2;
  options.dict_size = (uint32_t)strtoul(argv[2], NULL, 10);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, NULL}};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) return 1;
  static unsigned char output[65536];
  stream.next_in = input;
  stream.avail_in = (size_t)size;
  lzma_ret ret;
  do {
    stream.next_out = output;
    stream.avail_out = sizeof output;
    ret = lzma_code(&stream, LZMA_RUN);
  } while (ret == LZMA_OK);
  if (ret != LZMA_STREAM_END) return 1;
  printf("%llu\n", (unsigned long long)stream.total_out);
  lzma_end(&stream);
  return 0;
}
