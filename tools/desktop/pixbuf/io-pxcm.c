/* gdk-pixbuf loader module for PXCM pictures (libpixbufloader-pxcm.so).
 *
 * The format stores no length, so both ways in decode only once the whole
 * file is there: load() reads the stream to its end, and the incremental
 * interface gathers what load_increment() is given and decodes in
 * stop_load(). The header is checked as soon as its 24 bytes are in, so a
 * file that is not a PXCM picture, or one that claims more pixels than the
 * loader accepts, fails at once, and the size-prepared callback runs before
 * any pixel data is gathered. Pixbufs are RGB, 8 bits, without alpha.
 *
 * A stream whose last tokens rely on the zero bits past the end of the
 * file is shown as the format defines it, the way the plug-in shows it. A
 * stream that the format does not define fails with a GError; the
 * incremental interface has then already handed out the pixbuf, which holds
 * what was decoded before the damage. */
#include "io-pxcm.h"

#include <stdio.h>
#include <string.h>

#include <pxcm/pxcm.h>

/* The header is 24 bytes; pxcm_read_info needs no more. */
#define PXCM_HEADER_BYTES 24
/* Bytes kept of a file: far more than any picture within the pixel limit
 * takes, and below what a GByteArray can hold. What lies beyond is either
 * after the picture's stream, where it changes nothing, or within a
 * stream so long that the decode reads zero bits in its place. */
#define PXCM_MAX_FILE_BYTES (1u << 30)

typedef struct {
    GdkPixbufModuleSizeFunc size_func;
    GdkPixbufModulePreparedFunc prepared_func;
    GdkPixbufModuleUpdatedFunc updated_func;
    gpointer user_data;
    GByteArray *data;
    gboolean header_checked; /* the header is good and the size was announced */
    gboolean size_only;      /* the size callback asked for no pixels */
    pxcm_info info;
} PxcmContext;

/* Checks the header in data[0..size) and fills *info: a PXCM picture with
 * pixels, and no more of them than the loader accepts. */
static gboolean read_header(const guint8 *data, gsize size, pxcm_info *info, GError **error) {
    static const guint8 nothing[1];
    int r = pxcm_read_info(data ? data : nothing, size, info); /* an empty array may have no data */
    if (r == PXCM_ERR_BAD_FORMAT) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_UNKNOWN_TYPE, "Not a PXCM picture");
        return FALSE;
    }
    if (r != PXCM_OK) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "PXCM picture: %s",
                    pxcm_result_text(r));
        return FALSE;
    }
    if (info->width == 0 || info->height == 0) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                    "PXCM picture of %u x %u pixels: a picture without pixels cannot be shown",
                    (unsigned)info->width, (unsigned)info->height);
        return FALSE;
    }
    if ((guint64)info->width * info->height > PXCM_PIXBUF_MAX_PIXELS) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                    "PXCM picture of %u x %u pixels: more than the %" G_GUINT64_FORMAT
                    " pixels this loader accepts",
                    (unsigned)info->width, (unsigned)info->height, (guint64)PXCM_PIXBUF_MAX_PIXELS);
        return FALSE;
    }
    return TRUE;
}

static void free_pixels(guchar *pixels, gpointer unused) {
    (void)unused;
    g_free(pixels);
}

/* Decodes the whole picture (header already checked into *info) into a new
 * pixbuf. With a context, its prepared callback gets the pixbuf before the
 * decode and its updated callback the whole area after it, also when the
 * decode fails. Returns the pixbuf (a reference of the caller's) or NULL
 * and an error; on failure the pixbuf is released here, so that only the
 * reference the prepared callback took remains. */
static GdkPixbuf *decode_picture(const guint8 *data, gsize size, const pxcm_info *info,
                                 const PxcmContext *context, GError **error) {
    const int width = (int)info->width;
    const int height = (int)info->height;
    const gsize row_bytes = pxcm_stride(info->width, PXCM_LAYOUT_RGB);
    const gsize rowstride = (row_bytes + 3) & ~(gsize)3; /* gdk-pixbuf's own alignment */
    const gsize bytes = rowstride * (gsize)height;       /* pxcm_decode wants the last row padded too */

    guchar *pixels = g_try_malloc0(bytes);
    if (!pixels) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                    "Not enough memory for a PXCM picture of %d x %d pixels", width, height);
        return NULL;
    }
    GdkPixbuf *pixbuf =
        gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, FALSE, 8, width, height, (int)rowstride, free_pixels, NULL);
    if (context && context->prepared_func)
        context->prepared_func(pixbuf, NULL, context->user_data);

    pxcm_decode_options options = {0};
    options.layout = PXCM_LAYOUT_RGB;
    options.stride = rowstride;
    options.max_pixels = PXCM_PIXBUF_MAX_PIXELS;
    pxcm_decode_report report = {0};
    int r = pxcm_decode(data, size, &options, pixels, bytes, &report);
    if (r == PXCM_ERR_STREAM) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "PXCM picture: %s",
                    pxcm_result_text(r));
    } else if (r == PXCM_ERR_NO_MEMORY) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "PXCM picture: %s",
                    pxcm_result_text(r));
    } else if (r != PXCM_OK) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "PXCM picture: %s", pxcm_result_text(r));
    }

    if (context && context->updated_func)
        context->updated_func(pixbuf, 0, 0, width, height, context->user_data);
    if (error && *error) {
        g_object_unref(pixbuf);
        return NULL;
    }
    return pixbuf;
}

/* ------------------------------------------------------------ whole file */

static GdkPixbuf *pxcm_load(FILE *f, GError **error) {
    GByteArray *data = g_byte_array_new();
    guint8 chunk[65536];
    size_t n;
    while (data->len < PXCM_MAX_FILE_BYTES && (n = fread(chunk, 1, sizeof chunk, f)) > 0)
        g_byte_array_append(data, chunk, (guint)MIN(n, PXCM_MAX_FILE_BYTES - data->len));
    GdkPixbuf *pixbuf = NULL;
    if (ferror(f)) {
        g_set_error(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Cannot read the PXCM picture");
    } else {
        pxcm_info info;
        if (read_header(data->data, data->len, &info, error))
            pixbuf = decode_picture(data->data, data->len, &info, NULL, error);
    }
    g_byte_array_unref(data);
    return pixbuf;
}

/* ------------------------------------------------------------ incremental */

static gpointer pxcm_begin_load(GdkPixbufModuleSizeFunc size_func, GdkPixbufModulePreparedFunc prepared_func,
                                GdkPixbufModuleUpdatedFunc updated_func, gpointer user_data, GError **error) {
    (void)error;
    PxcmContext *context = g_new0(PxcmContext, 1);
    context->size_func = size_func;
    context->prepared_func = prepared_func;
    context->updated_func = updated_func;
    context->user_data = user_data;
    context->data = g_byte_array_new();
    return context;
}

static gboolean pxcm_load_increment(gpointer data, const guchar *buf, guint size, GError **error) {
    PxcmContext *context = data;
    if (context->size_only)
        return TRUE; /* the caller wanted the size alone: nothing more to keep */
    g_byte_array_append(context->data, buf, MIN(size, PXCM_MAX_FILE_BYTES - context->data->len));
    if (context->header_checked || context->data->len < PXCM_HEADER_BYTES)
        return TRUE;

    if (!read_header(context->data->data, context->data->len, &context->info, error))
        return FALSE;
    context->header_checked = TRUE;
    if (context->size_func) {
        /* The pixbuf keeps the picture's size; the caller's wish is only
         * heard for 0, which asks for no pixels (gdk_pixbuf_get_file_info). */
        int width = (int)context->info.width;
        int height = (int)context->info.height;
        context->size_func(&width, &height, context->user_data);
        if (width == 0 || height == 0) {
            context->size_only = TRUE;
            g_byte_array_set_size(context->data, 0);
        }
    }
    return TRUE;
}

static gboolean pxcm_stop_load(gpointer data, GError **error) {
    PxcmContext *context = data;
    gboolean ok = TRUE;
    if (!context->size_only) {
        /* A header not checked yet is one that never arrived whole, or
         * one that failed (then load_increment said so already). */
        if (!context->header_checked)
            ok = read_header(context->data->data, context->data->len, &context->info, error);
        if (ok) {
            GdkPixbuf *pixbuf = decode_picture(context->data->data, context->data->len, &context->info, context, error);
            ok = pixbuf != NULL;
            if (pixbuf)
                g_object_unref(pixbuf); /* the prepared callback took its own reference */
        }
    }
    g_byte_array_unref(context->data);
    g_free(context);
    return ok;
}

/* ------------------------------------------------------------ the module */

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule *module) {
    module->load = pxcm_load;
    module->begin_load = pxcm_begin_load;
    module->stop_load = pxcm_stop_load;
    module->load_increment = pxcm_load_increment;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat *info) {
    /* The whole header: "PXCM", the format word 0x00010000, a zero word,
     * any width and height, the depth 24 and a zero word (little-endian).
     * The prefix's bytes under 'z' and 'x' are placeholders. */
    static GdkPixbufModulePattern signature[] = {
        {"PXCMzz\001zzzzzxxxx\030zzzzzzz", "    zz zzzzzxxxx zzzzzzz", 100},
        {NULL, NULL, 0},
    };
    static gchar *mime_types[] = {"image/x-pxcm", NULL};
    static gchar *extensions[] = {"pxc", NULL};
    info->name = "pxcm";
    info->signature = signature;
    info->description = "PXCM picture";
    info->mime_types = mime_types;
    info->extensions = extensions;
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = "";
}
