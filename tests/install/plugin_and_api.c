/* plugin_and_api PICTURE: the installed plug-in header and the native API
 * used together from C. GetPictureInfo must agree with pxcm_read_info, and
 * GetPicture's pixel block must equal pxcm_decode in the DIB layout.
 * Exit status 0 when they agree; every disagreement is printed. */
#include <pxcm/plugin.h>
#include <pxcm/pxcm.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAIL %s\n", what);
        failures++;
    }
}

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    FILE *in = fopen(argv[1], "rb");
    static unsigned char data[1 << 22];
    size_t size = in ? fread(data, 1, sizeof data, in) : 0;
    if (in) fclose(in);
    check(size > 0 && size < sizeof data, "the picture can be read");

    char name[64] = "";
    check(GetPluginInfo(0, name, (int32_t)sizeof name) > 0 && name[0] != 0, "GetPluginInfo(0) gives a text");

    pxcm_info info;
    PictureInfoBlock record;
    check(pxcm_read_info(data, size, &info) == PXCM_OK, "pxcm_read_info succeeds");
    check(GetPictureInfo(argv[1], 0, SOURCE_FILE, &record) == ERR_NONE, "GetPictureInfo succeeds");
    check(record.width == (int32_t)info.width && record.height == (int32_t)info.height &&
              record.depth == (int16_t)info.depth,
          "GetPictureInfo and pxcm_read_info give the same geometry");

    PxcmBlock header_block = NULL, pixel_block = NULL;
    check(GetPicture(argv[1], 0, SOURCE_FILE, &header_block, &pixel_block, NULL, 0) == ERR_NONE,
          "GetPicture succeeds");
    uint64_t need = pxcm_buffer_size(&info, PXCM_LAYOUT_DIB, 0);
    unsigned char *dib = malloc(need ? (size_t)need : 1);
    pxcm_decode_options options = {.layout = PXCM_LAYOUT_DIB};
    check(dib && pxcm_decode(data, size, &options, dib, (size_t)need, NULL) == PXCM_OK, "pxcm_decode succeeds");
    const unsigned char *block = pixel_block ? LockBlock(pixel_block) : NULL;
    check(block && GetBlockSize(pixel_block) == need && memcmp(block, dib, (size_t)need) == 0,
          "GetPicture's pixel block equals pxcm_decode's DIB layout");
    if (pixel_block) {
        UnlockBlock(pixel_block);
        FreeBlock(pixel_block);
    }
    if (header_block) FreeBlock(header_block);
    free(dib);
    return failures == 0 ? 0 : 1;
}
