/* Result codes of the PXCM decoder: the plug-in exports and the native API
 * return the same values. Codes 0 to 8 and -1 are the plug-in's; the codes
 * from 9 on name what the plug-in folds into PXCM_ERR_READ or cannot say,
 * and only the native API returns them. C header, installed with the API. */
#ifndef PXCM_CODES_H
#define PXCM_CODES_H

enum pxcm_result {
    PXCM_ERR_NOT_IMPLEMENTED = -1, /* the function is not provided */
    PXCM_OK = 0,                   /* success */
    PXCM_ERR_ABORTED = 1,          /* the progress callback asked to stop */
    PXCM_ERR_BAD_FORMAT = 2,       /* the header is not this format */
    PXCM_ERR_NO_MEMORY = 4,        /* memory cannot be allocated */
    PXCM_ERR_MEMORY = 5,           /* a block cannot be locked, or a memory source opened */
    PXCM_ERR_READ = 6,             /* the data cannot be read (too short for a header, a failed read) */
    PXCM_ERR_INTERNAL = 8,         /* the source kind is not supported */
    PXCM_ERR_STREAM = 9,           /* the bit stream is one the format does not define */
    PXCM_ERR_TRUNCATED = 10,       /* the data ends before the 24-byte header does */
    PXCM_ERR_TOO_LARGE = 11,       /* the picture has more pixels than the caller allows */
    PXCM_ERR_ARGUMENT = 12,        /* an argument is null or out of range */
    PXCM_ERR_BUFFER = 13           /* the caller's buffer is too small */
};

#endif

/* The plug-in's names of the codes it returns, for whoever defines
 * PXCM_PLUGIN_NAMES before including this header (the plug-in's own
 * header does). */
#if defined(PXCM_PLUGIN_NAMES) && !defined(PXCM_PLUGIN_NAMES_DEFINED)
#define PXCM_PLUGIN_NAMES_DEFINED
enum {
    ERR_NOT_IMPLEMENTED = PXCM_ERR_NOT_IMPLEMENTED,
    ERR_NONE = PXCM_OK,
    ERR_ABORTED = PXCM_ERR_ABORTED,
    ERR_BAD_FORMAT = PXCM_ERR_BAD_FORMAT,
    ERR_NO_MEMORY = PXCM_ERR_NO_MEMORY,
    ERR_MEMORY = PXCM_ERR_MEMORY,
    ERR_READ = PXCM_ERR_READ,
    ERR_INTERNAL = PXCM_ERR_INTERNAL
};
#endif
