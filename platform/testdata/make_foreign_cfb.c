/* Writes a compound file with another program's writer (libgsf), so the storage tests can check
 * that our reader opens files it did not write itself.
 *
 *   make_foreign_cfb OUTPUT
 *
 * Streams at the root, stream k (k = 1..6) filled with byte i = (i*31 + (i>>8)*7 + k*101) & 0xFF,
 * the same pattern as SampleBytes(k, size) in platform/compound_file_samples.h:
 *   "Alpha" 0, "Bravo" 1, "Charlie" 100, "Delta" 4095, "Echo" 4096, "Foxtrot" 70000 bytes;
 * plus a storage "Sub" holding a stream "Inner" (10 bytes), which our reader skips.
 * Exit status 0 on success. */
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <stdio.h>
#include <stdlib.h>

static int write_stream(GsfOutfile* parent, const char* name, unsigned seed, size_t size) {
  GsfOutput* child = gsf_outfile_new_child(parent, name, FALSE);
  if (child == NULL) return 0;
  guint8* bytes = malloc(size ? size : 1);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = (guint8)((i * 31 + (i >> 8) * 7 + seed * 101) & 0xFF);
  int ok = size == 0 || gsf_output_write(child, size, bytes);
  ok = gsf_output_close(child) && ok;
  g_object_unref(child);
  free(bytes);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 64;
  }
  gsf_init();
  GError* err = NULL;
  GsfOutput* sink = gsf_output_stdio_new(argv[1], &err);
  if (sink == NULL) {
    fprintf(stderr, "cannot create %s: %s\n", argv[1], err ? err->message : "?");
    return 1;
  }
  GsfOutfile* ole = gsf_outfile_msole_new(sink);
  int ok = write_stream(ole, "Alpha", 1, 0) && write_stream(ole, "Bravo", 2, 1) &&
           write_stream(ole, "Charlie", 3, 100) && write_stream(ole, "Delta", 4, 4095) &&
           write_stream(ole, "Echo", 5, 4096) && write_stream(ole, "Foxtrot", 6, 70000);
  GsfOutput* sub = gsf_outfile_new_child(ole, "Sub", TRUE);
  ok = ok && sub != NULL && write_stream(GSF_OUTFILE(sub), "Inner", 7, 10);
  if (sub != NULL) {
    ok = gsf_output_close(sub) && ok;
    g_object_unref(sub);
  }
  ok = gsf_output_close(GSF_OUTPUT(ole)) && ok;
  g_object_unref(ole);
  if (!gsf_output_is_closed(sink)) ok = gsf_output_close(sink) && ok;
  g_object_unref(sink);
  gsf_shutdown();
  return ok ? 0 : 1;
}
