/* The property list: what the host reads from a plug-in's library before it loads it, to know
 * that the library is a general plug-in and which function to call. Plain C11 and C++17.
 *
 * It is a text of "key value" lines, in this order:
 *   resource 16000                 the resource id on Windows
 *   kind     general               only general plug-ins are loaded
 *   name     My Client             shown to users and in brevant-host's report
 *   category Brevant Clients
 *   version  0x00010000            the plug-in's own version
 *   entry    MyClientMain          the exported entry point (HostPluginEntryFunc)
 *   flags    0
 *
 * Where the host finds it: on Linux (ELF), the library's ".brevant_pipl" section, read up to
 * its first zero byte before the library is loaded; a library without one is refused with "no
 * .brevant_pipl section". On Windows, resource 16000 of type PiPL, from a resource script.
 *
 * With CMake, brevant_add_client() (find_package(Brevant)) makes it from a ".pipl" file of
 * those lines. Without CMake, write it once in any one C or C++ source of the library:
 *
 *   #include <brevant/pipl.h>
 *   BREVANT_PROPERTY_LIST(BREVANT_PIPL_GENERAL("My Client", "Brevant Clients", "MyClientMain"));
 *
 * or BREVANT_PROPERTY_LIST("kind general\n" "entry MyClientMain\n" ...) for other lines. */
#ifndef BREVANT_PIPL_H
#define BREVANT_PIPL_H

#include <brevant/host.h>

#define BREVANT_PIPL_SECTION ".brevant_pipl"

/* The lines of a general plug-in's property list; every argument is a string literal. */
#define BREVANT_PIPL_GENERAL(name, category, entry)                                            \
    "resource 16000\n"                                                                         \
    "kind general\n"                                                                           \
    "name " name "\n"                                                                          \
    "category " category "\n"                                                                  \
    "version 0x00010000\n"                                                                     \
    "entry " entry "\n"                                                                        \
    "flags 0\n"

/* Places the text (a string literal) in the library as its property list. At file scope, once
 * per library, followed by a semicolon. On Windows the list is a resource instead, made by
 * brevant_add_client() or written as a resource script, so this only checks the text there. */
/* Nothing refers to the list: "used" keeps it from the compiler and, where the toolchain has
 * it, "retain" from the linker's garbage collection (-Wl,--gc-sections). */
#if defined(__has_attribute)
#if __has_attribute(retain)
#define BREVANT_PIPL_RETAIN , retain
#endif
#endif
#ifndef BREVANT_PIPL_RETAIN
#define BREVANT_PIPL_RETAIN
#endif

#if defined(_WIN32)
#define BREVANT_PROPERTY_LIST(text) BREVANT_STATIC_ASSERT(sizeof(text) > 1, "an empty property list")
#else
#define BREVANT_PROPERTY_LIST(text)                                                            \
    __attribute__((section(BREVANT_PIPL_SECTION), used, aligned(8) BREVANT_PIPL_RETAIN))       \
    static const char brevant_property_list[] = text
#endif

#endif /* BREVANT_PIPL_H */
