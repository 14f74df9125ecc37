/* pxcm: decoder and encoder of the 24-bit PXCM CG pictures ("*.PXC").
 *
 * The native C API. Pictures are read from memory and decoded straight into
 * the caller's buffer, in one of five layouts; every function returns one of
 * the result codes of pxcm_codes.h (PXCM_OK, 0, on success), which
 * pxcm_result_text() puts in words.
 *
 *     pxcm_info info;
 *     if (pxcm_read_info(data, size, &info) == PXCM_OK) {
 *         size_t need = (size_t)pxcm_buffer_size(&info, PXCM_LAYOUT_RGB, 0);
 *         void *rgb = malloc(need);
 *         int r = pxcm_decode(data, size, NULL, rgb, need, NULL);
 *         ...
 *     }
 *
 * The format stores no length: past the end of the data its bit stream
 * reads as zero bits, and a picture whose last tokens rely on them decodes
 * as any reader of the format shows it. The decode report says how many
 * bits the picture's stream took and how many of those lay past the end.
 *
 * Thread safety: every function may be called from several threads at once;
 * nothing is shared between calls.
 */
#ifndef PXCM_PXCM_H
#define PXCM_PXCM_H

#include <stddef.h>
#include <stdint.h>

#include "pxcm_codes.h"

#if defined(_WIN32)
#define PXCM_PUBLIC
#else
#define PXCM_PUBLIC __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct pxcm_info {
    uint32_t width;  /* pixels per row, 0 to 65535 */
    uint32_t height; /* rows, 0 to 65535 */
    uint32_t depth;  /* bits per pixel, always 24 */
} pxcm_info;

typedef enum pxcm_layout {
    PXCM_LAYOUT_RGB = 0,  /* top-down rows, 3 bytes per pixel: red, green, blue */
    PXCM_LAYOUT_BGR = 1,  /* top-down rows, 3 bytes per pixel: blue, green, red */
    PXCM_LAYOUT_RGBA = 2, /* top-down rows, 4 bytes per pixel, alpha 255 */
    PXCM_LAYOUT_BGRA = 3, /* top-down rows, 4 bytes per pixel, alpha 255 */
    PXCM_LAYOUT_DIB = 4   /* bottom-up BGR rows padded to 4 bytes: the plug-in's pixel block */
} pxcm_layout;

/* Called before every row with (row, height) and once at the end with
 * (height, height); a non-zero answer stops the decode (PXCM_ERR_ABORTED).
 * It reports progress only: except in the DIB layout with its own stride,
 * which is decoded in place, rows reach the caller's buffer a few at a time
 * some rows later. */
typedef int (*pxcm_progress)(uint32_t row, uint32_t height, void *user);

/* All zero (or a NULL pointer instead of the record) means: RGB, packed
 * rows, no pixel limit, no progress. */
typedef struct pxcm_decode_options {
    pxcm_layout layout;
    size_t stride;          /* bytes per output row; 0 = packed (DIB: padded to 4) */
    uint64_t max_pixels;    /* 0 = no limit; above it PXCM_ERR_TOO_LARGE before any work */
    pxcm_progress progress; /* may be NULL */
    void *user;             /* passed to progress unchanged */
} pxcm_decode_options;

typedef struct pxcm_decode_report {
    uint64_t bits_used;     /* stream bits after the 24-byte header that the decode consumed */
    uint64_t bits_past_end; /* of those, how many lay beyond the data (read as zero bits) */
    uint32_t end_row;       /* the row (0 = top) in which the data ran out; height if it did not */
} pxcm_decode_report;

/* The header's geometry. PXCM_ERR_TRUNCATED for fewer than 24 bytes,
 * PXCM_ERR_BAD_FORMAT for a header that is not this format,
 * PXCM_ERR_ARGUMENT for a null pointer. */
PXCM_PUBLIC int pxcm_read_info(const void *data, size_t size, pxcm_info *info);

/* Bytes of one packed row of a layout (DIB rows are padded to 4 bytes). */
PXCM_PUBLIC size_t pxcm_stride(uint32_t width, pxcm_layout layout);

/* Bytes pxcm_decode needs for the picture in this layout: every row but the
 * last at the stride (0 = packed), the last only as long as a packed row.
 * 0 for an unknown layout or a stride below the packed one, and for a
 * picture without pixels (which needs no buffer). */
PXCM_PUBLIC uint64_t pxcm_buffer_size(const pxcm_info *info, pxcm_layout layout, size_t stride);

/* Decodes the picture in data[0..size) into pixels. The pixels are exactly
 * those the plug-in's GetPicture delivers for the same bytes; in the DIB
 * layout with its own stride the buffer ends up byte for byte as
 * GetPicture's pixel block. One pass over the stream, working memory of a
 * few rows beside the caller's buffer. The data may go on after the
 * picture's stream: it ends at byte 24 + ceil(bits_used / 8).
 *
 * Results: PXCM_OK; PXCM_ERR_TRUNCATED, PXCM_ERR_BAD_FORMAT (header);
 * PXCM_ERR_TOO_LARGE (max_pixels); PXCM_ERR_ARGUMENT (null pointers, an
 * unknown layout, a stride below the packed one); PXCM_ERR_BUFFER
 * (pixels_size below pxcm_buffer_size); PXCM_ERR_NO_MEMORY;
 * PXCM_ERR_STREAM (a stream the format does not define);
 * PXCM_ERR_ABORTED (the progress callback). After PXCM_ERR_STREAM or
 * PXCM_ERR_ABORTED the buffer holds the rows decoded until then. report may
 * be NULL; it is filled whenever decoding began. */
PXCM_PUBLIC int pxcm_decode(const void *data, size_t size, const pxcm_decode_options *options,
                            void *pixels, size_t pixels_size, pxcm_decode_report *report);

/* Encodes width x height pixels in a layout (alpha is ignored; stride 0 =
 * packed) into a whole PXCM file, returned in *out (release it with
 * pxcm_free) with its size in *out_size. effort runs from 1 (fast) to 9
 * (smallest), 0 is the default. PXCM_ERR_ARGUMENT for sides above 65535,
 * null pointers or a bad layout, stride or effort; PXCM_ERR_NO_MEMORY. */
PXCM_PUBLIC int pxcm_encode(const void *pixels, uint32_t width, uint32_t height, pxcm_layout layout,
                            size_t stride, int effort, void **out, size_t *out_size);

/* Releases what pxcm_encode returned; NULL is allowed. */
PXCM_PUBLIC void pxcm_free(void *p);

/* The result code in words ("success", "not a PXCM picture", ...); never NULL. */
PXCM_PUBLIC const char *pxcm_result_text(int result);

/* The library's version, for example "0.1.0". */
PXCM_PUBLIC const char *pxcm_version(void);

#ifdef __cplusplus
}
#endif

#endif
