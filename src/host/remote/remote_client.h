// The remote-board client's one entry point, between the library and the client's own shared library
// (libkorval_remote.so), which the library loads only when a remote server is named. The client holds
// gRPC; the library never links it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "korval/host.h"

#define KORVAL_REMOTE_CLIENT_ABI 2u
#define KORVAL_REMOTE_CREATE_SYMBOL "KorvalRemote_Create"

/* The library's caller-memory guard (base/caller_memory.h), the one way the client touches a caller's
   buffer: each entry is non-zero when every byte of the range could be read (written), 0 otherwise. */
typedef struct KorvalRemoteCallerMemory {
    int (*copy_from_caller)(void* target, const void* source, size_t size);
    int (*copy_to_caller)(void* target, const void* source, size_t size);
    int (*range_usable)(const void* start, size_t size, int for_write);
} KorvalRemoteCallerMemory;

typedef struct KorvalRemoteConfig {
    uint32_t abi;        /* KORVAL_REMOTE_CLIENT_ABI */
    const char* address; /* host:port */
    const char* token;   /* sent with every call; empty or null for none */
    const char* ca_pem;  /* null: plain connection; otherwise TLS, the server checked against this CA */
    KorvalRemoteCallerMemory caller_memory; /* every entry set */
} KorvalRemoteConfig;

/* Fills *host with a host whose calls go to the server. Nothing is sent yet: the first list of
   interfaces connects. 0, or 87 for a bad configuration. The host lives as long as the process. */
typedef uint32_t (*KorvalRemoteCreate)(const KorvalRemoteConfig* config, KorvalHost* host);
