/* What the shared library exports. Everything else is built with hidden visibility, so a host
 * sees the public C and C++ interface and nothing of the layers behind it. Plain preprocessor
 * text: the C header includes it too. */
#ifndef CARVALEN_EXPORT_H
#define CARVALEN_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define CARVALEN_API __attribute__((visibility("default")))
#else
#define CARVALEN_API
#endif

#endif /* CARVALEN_EXPORT_H */
