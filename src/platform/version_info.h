/* The library's version: one definition for the version text, the Windows
 * version resource and the build. Plain preprocessor so the resource compiler reads it. */
#ifndef MOLDRIN_VERSION_INFO_H
#define MOLDRIN_VERSION_INFO_H
#define MOLDRIN_PRODUCT_NAME "Moldrin"
#define MOLDRIN_PRODUCT_VERSION "3, 0, 0, 19"
#define MOLDRIN_VERSION_BINARY 3, 0, 0, 19
#endif
