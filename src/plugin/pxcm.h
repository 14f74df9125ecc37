/* pxcm: reader for the 24-bit PXCM CG pictures ("*.PXC").
 *
 * The five exports a host image viewer calls, the record they fill and the
 * result codes they return. On Windows the exports use the WINAPI calling
 * convention and the returned blocks are movable local-memory handles
 * (HLOCAL, read them with LocalLock/LocalUnlock, release with LocalFree).
 * Elsewhere the same functions are exported with C linkage and the blocks
 * are used through LockBlock, UnlockBlock, FreeBlock and GetBlockSize.
 *
 * On 32-bit builds every value below is 32 bits wide, as the host interface
 * tables it. On 64-bit builds the values that must carry a pointer or a
 * handle (PxcmLong, PxcmRef, the last record field) are pointer-sized.
 */
#ifndef PXCM_H
#define PXCM_H

#include <stdint.h>

/* Result codes, under the names ERR_NONE, ERR_ABORTED, ERR_BAD_FORMAT,
 * ERR_NO_MEMORY, ERR_MEMORY, ERR_READ, ERR_INTERNAL, ERR_NOT_IMPLEMENTED. */
#define PXCM_PLUGIN_NAMES
#include "pxcm_codes.h"

#if defined(_WIN32)
#define PXCM_API __stdcall
#if defined(PXCM_BUILDING)
#define PXCM_EXPORT
#else
#define PXCM_EXPORT __declspec(dllimport)
#endif
#else
#define PXCM_API
#define PXCM_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Source kinds: the low 3 bits of `mode`. */
enum {
    SOURCE_FILE = 0,  /* location = file name, extent = byte offset of the picture */
    SOURCE_MEMORY = 1 /* location = the picture's bytes, extent = their count */
};

/* Integer that widens to pointer size on 64-bit builds. */
typedef intptr_t PxcmLong;
/* Probe reference: a pointer to the file's first 2048 bytes when any bit
 * above the low 16 is set, otherwise an open file handle (a HANDLE on
 * Windows, a file descriptor elsewhere) positioned at the picture. */
typedef uintptr_t PxcmRef;
/* A movable memory block handed to the host (HLOCAL on Windows). */
typedef void *PxcmBlock;

#pragma pack(push, 1)
typedef struct PictureInfoBlock {
    int32_t left;          /* host-defined, written 0 */
    int32_t top;           /* host-defined, written 0 */
    int32_t width;         /* pixels per row */
    int32_t height;        /* rows */
    uint16_t x_density;    /* host-defined, written 0 */
    uint16_t y_density;    /* host-defined, written 0 */
    int16_t depth;         /* bits per pixel, always 24 */
    uintptr_t text_handle; /* host-defined, written 0 */
} PictureInfoBlock;

/* The information block returned by GetPicture (a BITMAPINFOHEADER). */
typedef struct PxcmBitmapHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
} PxcmBitmapHeader;
#pragma pack(pop)

/* Called before every row with (row, height) and once at the end with
 * (height, height); a non-zero answer stops the decode. GetPicture stores
 * each block's handle in the caller's variable as soon as the block exists,
 * so the callback may look at the rows decoded so far. */
typedef int32_t(PXCM_API *ProgressCallback)(int32_t num, int32_t denom, PxcmLong user);

PXCM_EXPORT int32_t PXCM_API GetPluginInfo(int32_t index, char *buffer, int32_t size);
PXCM_EXPORT int32_t PXCM_API IsSupported(const char *name, PxcmRef probe_ref);
PXCM_EXPORT int32_t PXCM_API GetPictureInfo(const char *location, PxcmLong extent, uint32_t mode,
                                            PictureInfoBlock *record);
PXCM_EXPORT int32_t PXCM_API GetPicture(const char *location, PxcmLong extent, uint32_t mode,
                                        PxcmBlock *info, PxcmBlock *pixels,
                                        ProgressCallback callback, PxcmLong user);
PXCM_EXPORT int32_t PXCM_API GetPreview(const char *location, PxcmLong extent, uint32_t mode,
                                        PxcmBlock *info, PxcmBlock *pixels,
                                        ProgressCallback callback, PxcmLong user);

#if !defined(_WIN32)
/* What a caller outside Windows needs to use the returned blocks. */
PXCM_EXPORT void *LockBlock(PxcmBlock block);     /* null for a zero-size block */
PXCM_EXPORT void UnlockBlock(PxcmBlock block);
PXCM_EXPORT void FreeBlock(PxcmBlock block);
PXCM_EXPORT uint64_t GetBlockSize(PxcmBlock block);
#endif

#ifdef __cplusplus
}
#endif

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L)
#ifdef __cplusplus
#define PXCM_STATIC_ASSERT static_assert
#else
#define PXCM_STATIC_ASSERT _Static_assert
#endif
PXCM_STATIC_ASSERT(sizeof(PictureInfoBlock) == 22 + sizeof(uintptr_t), "packed record");
PXCM_STATIC_ASSERT(sizeof(void *) != 4 || sizeof(PictureInfoBlock) == 26, "32-bit record is 26 bytes");
PXCM_STATIC_ASSERT(sizeof(void *) != 8 || sizeof(PictureInfoBlock) == 30, "64-bit record is 30 bytes");
PXCM_STATIC_ASSERT(sizeof(PxcmBitmapHeader) == 40, "BITMAPINFOHEADER is 40 bytes");
#undef PXCM_STATIC_ASSERT
#endif

#endif
