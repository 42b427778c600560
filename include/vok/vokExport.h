/*
 * vok: the attribute that exports a name from libvok.so.
 *
 * <vok/vok.h> includes this header for its declarations; an application
 * never needs to include it itself. The library's lowest layers take the
 * macro from here alone, without the whole public interface.
 */
#ifndef VOK_VOK_EXPORT_H
#define VOK_VOK_EXPORT_H

#if defined(__GNUC__)
#define VOK_API __attribute__((visibility("default")))
#else
#define VOK_API
#endif

#endif /* VOK_VOK_EXPORT_H */
