/*
 * The export mark of libdocscan.so.1.
 *
 * The library is built with hidden visibility; DOCSCAN_EXPORT puts a
 * declaration into the shared object's symbol table. Outside the library's
 * own build it expands to nothing. Usable from C and C++.
 */
#ifndef DOCSCAN_SUPPORT_EXPORT_H
#define DOCSCAN_SUPPORT_EXPORT_H

#if defined(DOCSCAN_BUILDING_LIBRARY)
#define DOCSCAN_EXPORT __attribute__((visibility("default")))
#else
#define DOCSCAN_EXPORT
#endif

#endif /* DOCSCAN_SUPPORT_EXPORT_H */
