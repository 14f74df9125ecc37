/* The gdk-pixbuf loader module's entry points, which gdk-pixbuf looks up
 * by name, and its pixel limit. Include it before any other gdk-pixbuf
 * header: the module interface is only declared with the backend macro. */
#ifndef PXCM_IO_PXCM_H
#define PXCM_IO_PXCM_H

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>

/* Pictures with more pixels are refused before anything is allocated: a
 * 30-byte file may claim 65535 x 65535 of them, 12 GiB of RGB, and file
 * managers make thumbnails of every file they list. The build sets the
 * limit (PXCM_DESKTOP_MAX_PIXELS, the same for the Qt plugin). */
#ifndef PXCM_DESKTOP_MAX_PIXELS
#error "PXCM_DESKTOP_MAX_PIXELS is set by the build"
#endif
#define PXCM_PIXBUF_MAX_PIXELS ((guint64)(PXCM_DESKTOP_MAX_PIXELS))

G_BEGIN_DECLS
G_MODULE_EXPORT void fill_vtable(GdkPixbufModule *module);
G_MODULE_EXPORT void fill_info(GdkPixbufFormat *info);
G_END_DECLS

#endif
