// A whole picture's decode, one pass over the stream, into the caller's
// memory in one of five layouts.
//
// The stream's references follow the byte layout of the format's bitmap
// (bottom-up rows of `stride` bytes; a reference left or right of its row
// lands on whatever bytes lie there, a long run writes on into the row
// stored after its own), so that is the layout decoded. The bitmap layout
// itself is decoded in place, straight into the caller's zero-filled
// memory. Every other layout is decoded into a window of a few rows of that
// bitmap, which moves down the picture: a row leaves the window, converted
// to the caller's layout, once no later token can read or write it. A
// token reads at most MAX_DY rows above its own and a run reaches at most
// 3 * MAX_RUN bytes past its start, so a window of ReachRows() rows holds
// everything one row's decode can touch.
#ifndef PXCM_PIXELS_PICTURE_H
#define PXCM_PIXELS_PICTURE_H

#include <stddef.h>
#include <stdint.h>

#include "entropy/bitreader.h"
#include "entropy/decodetable.h"

struct PictureOutput {
    uint8_t *pixels;
    int64_t stride; // bytes from one output row to the next, at least PackedRowBytes
    int32_t layout;
};

// Called before every row with (row, height) and once at the end with
// (height, height); non-zero stops the decode with ERR_ABORTED.
typedef int32_t (*RowCallback)(uint32_t row, uint32_t height, void *user);

struct PictureReport {
    uint64_t bits_used;     // stream bits the decode consumed
    uint64_t bits_past_end; // of those, the zero bits past the end of the data
    uint32_t end_row;       // the row in which the data ran out; height if it did not
};

// Rows of the bitmap that one row's decode can touch, its own included.
int64_t ReachRows(uint32_t width);

// True when the output is the bitmap itself, decoded in place: then the
// caller's pixels must be zero-filled, and no window is needed.
bool DecodesInPlace(uint32_t width, const PictureOutput *output);

// Bytes of window DecodePicture needs for this output (0 in place).
uint64_t WindowBytes(uint32_t width, uint32_t height, const PictureOutput *output);

// Decodes a width x height picture from the reader (started on the byte
// after the header) into the output, with `window` of WindowBytes()
// bytes. ERR_NONE, ERR_ABORTED, or the first error of the stream
// (ERR_READ, ERR_STREAM). After a failure the output holds the rows
// decoded before it. report may be null.
int32_t DecodePicture(const BitReader *reader, WorkBlock *work, uint8_t *window, uint32_t width,
                      uint32_t height, const PictureOutput *output, RowCallback callback, void *user,
                      PictureReport *report);

#endif
