/* The host's side of a general plug-in: the suites a client of Brevant uses, the host's result
 * codes, memory handles and the entry-point signature. Plain C11 and C++17.
 *
 * Threads: "[main-thread]" means the host's main thread, the one that called the plug-in's
 * entry point; "[any-thread]" means any thread. Every suite table stays valid from a successful
 * AcquireSuite until the matching ReleaseSuite; acquire for as long as you use it and release
 * on every path (the stand-in host counts both and reports what stays acquired as a leak).
 *
 * Result codes: 0 is success. A call that fails writes none of its out-parameters. */
#ifndef BREVANT_HOST_H
#define BREVANT_HOST_H

#include <stddef.h>
#include <stdint.h>

/* Marks what a plug-in library exports: its entry point (and, for Brevant, its death hook). */
#if defined(_WIN32)
#define BREVANT_EXPORT __declspec(dllexport)
#else
#define BREVANT_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define BREVANT_EXTERN_C extern "C"
#define BREVANT_STATIC_ASSERT(condition, message) static_assert(condition, message)
/* Constants are constexpr in C++; in C integers are enumerators (usable in case labels) and
 * texts are arrays with internal linkage. */
#define BREVANT_INT_CONSTANT(type, name, value) constexpr type name = (value);
#define BREVANT_TEXT_CONSTANT(name, text) constexpr char name[] = text;
#else
#define BREVANT_EXTERN_C
#define BREVANT_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#define BREVANT_INT_CONSTANT(type, name, value) enum { name = (value) };
#define BREVANT_TEXT_CONSTANT(name, text) static const char name[] = text;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ---------------------------------------------------------------------------- */

typedef int32_t HostErr;
BREVANT_INT_CONSTANT(HostErr, kHostErrNone, 0)
BREVANT_INT_CONSTANT(HostErr, kHostErrGeneric, 2)
BREVANT_INT_CONSTANT(HostErr, kHostErrOutOfMemory, 4)     /* no memory, or a block too large */
BREVANT_INT_CONSTANT(HostErr, kHostErrBadHandle, 5)       /* freed, unknown or not locked */
BREVANT_INT_CONSTANT(HostErr, kHostErrUnknownSuite, 6)    /* no suite of that name and version */
BREVANT_INT_CONSTANT(HostErr, kHostErrBadArgument, 7)     /* a null pointer, a bad value */

/* ---- The basic suite ------------------------------------------------------------------------ */

/* The table handed to every plug-in's entry point, and to every listener callback through
 * ListenerBasicData. [any-thread] The table belongs to the host and outlives every plug-in. */
typedef struct HostBasicSuite {
    /* Acquires the suite (name, version) and writes its table, valid until the matching
     * release. Results: 0; kHostErrUnknownSuite for an unknown pair; kHostErrBadArgument for a
     * null name or table pointer. Nothing is written unless it answers 0. */
    HostErr (*AcquireSuite)(const char* name, int32_t version, const void** table);
    /* Releases one acquisition of (name, version). Results: 0; kHostErrBadArgument for a null
     * name or a pair that is not acquired. */
    HostErr (*ReleaseSuite)(const char* name, int32_t version);
} HostBasicSuite;

/* ---- Memory handles ------------------------------------------------------------------------- */

/* A block of host memory, opaque to plug-ins. */
typedef struct HostMemoryHandleOpaque* HostMemoryHandle;

BREVANT_INT_CONSTANT(int32_t, kHostMemFlagClear, 1) /* MemCreate: zero-filled memory */

/* "KOVA Memory Suite" 1. [any-thread]
 * A handle belongs to whoever received it (every string and thumbnail that the monitor suite
 * hands out is the caller's); any plug-in may lock, unlock and free it. A freed or unknown
 * handle is refused with kHostErrBadHandle, never a crash. */
typedef struct HostMemorySuite1 {
    /* A new block of `size` bytes; `label` names it in leak reports (may be null). Results: 0;
     * kHostErrOutOfMemory; kHostErrBadArgument for a null out_handle. */
    HostErr (*MemCreate)(int32_t plugin_id, const char* label, uint64_t size, int32_t flags,
                         HostMemoryHandle* out_handle);
    /* Frees the block, locked or not. Results: 0; kHostErrBadHandle. */
    HostErr (*MemFree)(HostMemoryHandle handle);
    /* Locks the block and writes its address, valid until the matching MemUnlock. Locks nest.
     * Results: 0; kHostErrBadHandle; kHostErrBadArgument for a null out_block. */
    HostErr (*MemLock)(HostMemoryHandle handle, void** out_block);
    /* Undoes one MemLock. Results: 0; kHostErrBadHandle (also when not locked). */
    HostErr (*MemUnlock)(HostMemoryHandle handle);
    /* The block's size in bytes: a UTF-16 string's units times 2 (its zero unit included), a
     * thumbnail's JPEG byte count. Results: 0; kHostErrBadHandle; kHostErrBadArgument. */
    HostErr (*MemSize)(HostMemoryHandle handle, uint64_t* out_size);
} HostMemorySuite1;

/* ---- Registration and messages --------------------------------------------------------------- */

/* Called by the host at shutdown, on the main thread, with the global refcon that the entry
 * point stored and the hook's own refcon. A client deregisters its listeners here. */
typedef HostErr (*HostDeathHookFunc)(void* global_refcon, void* hook_refcon);

/* "KOVA Register Suite" 6. [main-thread] */
typedef struct HostRegisterSuite6 {
    void* reserved0;
    void* reserved1;
    /* Registers a death hook for the plug-in. Results: 0; kHostErrBadArgument for a null hook. */
    HostErr (*RegisterDeathHook)(int32_t plugin_id, HostDeathHookFunc hook, void* hook_refcon);
} HostRegisterSuite6;

/* "KOVA Utility Suite" 7. [main-thread] */
typedef struct HostUtilitySuite7 {
    /* Shows a message to the user on behalf of the plug-in; the text is copied. Results: 0;
     * kHostErrBadArgument for a null message. */
    HostErr (*ReportMessage)(int32_t plugin_id, const char* message);
} HostUtilitySuite7;

/* "Orb Suites Suite" 2: how a plug-in publishes a suite of its own (Brevant publishes its
 * monitor suite here). [main-thread] */
typedef struct HostOrbSuitesSuite2 {
    void* reserved0;
    void* reserved1;
    /* Publishes `table` as (name, version) for every plug-in to acquire. The table must stay
     * valid while the host runs; the host keeps its address. The out reference is the host's
     * token for the publication. Results: 0; kHostErrBadArgument for a null name or table, or
     * a pair that the host itself provides; kHostErrOutOfMemory. */
    HostErr (*PublishSuite)(void* reserved_a, void* reserved_b, const char* name, int32_t version,
                            int32_t internal_version, const void* table, void** out_ref);
} HostOrbSuitesSuite2;

BREVANT_TEXT_CONSTANT(kHostMemorySuite, "KOVA Memory Suite")
BREVANT_INT_CONSTANT(int32_t, kHostMemorySuiteVersion, 1)
BREVANT_TEXT_CONSTANT(kHostRegisterSuite, "KOVA Register Suite")
BREVANT_INT_CONSTANT(int32_t, kHostRegisterSuiteVersion, 6)
BREVANT_TEXT_CONSTANT(kHostUtilitySuite, "KOVA Utility Suite")
BREVANT_INT_CONSTANT(int32_t, kHostUtilitySuiteVersion, 7)
BREVANT_TEXT_CONSTANT(kHostOrbSuitesSuite, "Orb Suites Suite")
BREVANT_INT_CONSTANT(int32_t, kHostOrbSuitesSuiteVersion, 2)

/* ---- The entry point ------------------------------------------------------------------------ */

/* The entry point of a general plug-in, named by the "entry" line of its property list and
 * exported with BREVANT_EXPORT. [main-thread] Called once, after the host loaded the library.
 * `basic` is the host's and outlives the plug-in; what the plug-in stores in *global_refcon is
 * handed back to its death hooks. A non-zero result tells the host that the plug-in did not
 * start (brevant-host then exits 2). It must not throw. */
typedef HostErr (*HostPluginEntryFunc)(const HostBasicSuite* basic, int32_t major_version,
                                       int32_t minor_version, int32_t plugin_id,
                                       void** global_refcon);

/* Suite tables are read by slot: one pointer per slot, no padding. */
BREVANT_STATIC_ASSERT(sizeof(void*) == 8, "Brevant's tables are laid out for 64-bit hosts");
BREVANT_STATIC_ASSERT(sizeof(HostBasicSuite) == 16, "HostBasicSuite: two slots");
BREVANT_STATIC_ASSERT(sizeof(HostMemorySuite1) == 40, "HostMemorySuite1: five slots");
BREVANT_STATIC_ASSERT(offsetof(HostMemorySuite1, MemSize) == 32, "MemSize in slot 4");
BREVANT_STATIC_ASSERT(sizeof(HostRegisterSuite6) == 24, "HostRegisterSuite6: three slots");
BREVANT_STATIC_ASSERT(offsetof(HostRegisterSuite6, RegisterDeathHook) == 16,
                      "RegisterDeathHook in slot 2");
BREVANT_STATIC_ASSERT(sizeof(HostUtilitySuite7) == 8, "HostUtilitySuite7: one slot");
BREVANT_STATIC_ASSERT(sizeof(HostOrbSuitesSuite2) == 24, "HostOrbSuitesSuite2: three slots");
BREVANT_STATIC_ASSERT(offsetof(HostOrbSuitesSuite2, PublishSuite) == 16, "PublishSuite in slot 2");

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* BREVANT_HOST_H */
