/* decode_to_ppm IN.PXC OUT.ppm: decodes a PXCM picture into a binary PPM (P6). */
#include <pxcm/pxcm.h>
#include <stdio.h>
#include <stdlib.h>

#define MAX_PIXELS (1u << 28) /* a 30-byte file may claim 65535 x 65535 pixels */

static int fail(const char *name, const char *why) {
    fprintf(stderr, "decode_to_ppm: %s: %s\n", name, why);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) return fail("usage", "decode_to_ppm IN.PXC OUT.ppm");
    FILE *in = fopen(argv[1], "rb");
    if (!in) return fail(argv[1], "cannot open");
    long size = fseek(in, 0, SEEK_END) == 0 ? ftell(in) : -1;
    unsigned char *data = size >= 0 ? malloc((size_t)size + 1) : NULL;
    int read_ok = data && fseek(in, 0, SEEK_SET) == 0 && fread(data, 1, (size_t)size, in) == (size_t)size;
    fclose(in);
    if (!read_ok) return fail(argv[1], "cannot read");

    pxcm_info info;
    int r = pxcm_read_info(data, (size_t)size, &info);
    if (r == PXCM_OK && (uint64_t)info.width * info.height > MAX_PIXELS) r = PXCM_ERR_TOO_LARGE;
    size_t need = r == PXCM_OK ? (size_t)pxcm_buffer_size(&info, PXCM_LAYOUT_RGB, 0) : 0;
    unsigned char *rgb = r == PXCM_OK ? malloc(need + 1) : NULL;
    if (r == PXCM_OK && !rgb) r = PXCM_ERR_NO_MEMORY;
    if (r == PXCM_OK) {
        pxcm_decode_options options = {.layout = PXCM_LAYOUT_RGB}; /* packed top-down rows */
        r = pxcm_decode(data, (size_t)size, &options, rgb, need, NULL);
    }
    free(data);
    if (r != PXCM_OK) {
        free(rgb);
        return fail(argv[1], pxcm_result_text(r));
    }

    FILE *out = fopen(argv[2], "wb");
    int ok = out && fprintf(out, "P6\n%u %u\n255\n", (unsigned)info.width, (unsigned)info.height) > 0 &&
             fwrite(rgb, 1, need, out) == need;
    if (out && fclose(out) != 0) ok = 0;
    free(rgb);
    return ok ? 0 : fail(argv[2], "cannot write");
}
