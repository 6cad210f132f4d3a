// Remote servers: the boards of `korval serve` servers on other machines, after the local boards.
//
// The gRPC client is a shared library of its own (libkorval_remote.so), loaded only when a server is
// named, so that programs that use local boards only load nothing of it. It gives a host like any
// other; the library adds it to the hosts discovery runs through, and every call on a remote board goes
// to the host that gave its handles.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/caller_memory.h"
#include "core/registry.h"
#include "korval/korval.h"
#include "usb/host_binding.h"

#ifndef _WIN32
#include <dlfcn.h>

#include "host/remote/remote_client.h"
#endif

namespace korval {

namespace {

#ifndef _WIN32

std::mutex g_remote_mutex;  // the list of servers, the client library's loading
std::vector<std::string> g_addresses;
KorvalRemoteCreate g_create = nullptr;

// The client library: $KORVAL_REMOTE_LIBRARY, else beside the library (or the program it is linked
// into), else wherever the dynamic loader finds it.
KorvalRemoteCreate load_client()
{
    if (g_create != nullptr) return g_create;
    std::vector<std::string> candidates;
    if (const char* path = std::getenv("KORVAL_REMOTE_LIBRARY"); path != nullptr && *path != '\0')
        candidates.emplace_back(path);
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&load_client), &info) != 0 && info.dli_fname != nullptr) {
        std::string self = info.dli_fname;
        if (const auto slash = self.rfind('/'); slash != std::string::npos)
            candidates.push_back(self.substr(0, slash + 1) + "libkorval_remote.so");
    }
    candidates.emplace_back("libkorval_remote.so");
    for (const std::string& path : candidates) {
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) continue;
        if (void* create = dlsym(library, KORVAL_REMOTE_CREATE_SYMBOL)) {
            g_create = reinterpret_cast<KorvalRemoteCreate>(create);
            return g_create;
        }
        dlclose(library);
    }
    return nullptr;
}

bool read_file(const char* path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return !in.bad();
}

// Adds one server; the caller holds g_remote_mutex. The host number, or 0 with the result code.
uint32_t add_locked(const char* address, const char* token_file, const char* ca_file, uint32_t& result)
{
    if (address == nullptr || *address == '\0' || std::strchr(address, ':') == nullptr ||
        std::strchr(address, '/') != nullptr) {
        result = ERROR_INVALID_PARAMETER;
        return 0;
    }
    for (const std::string& a : g_addresses) {
        if (a == address) {
            result = ERROR_ALREADY_EXISTS;
            return 0;
        }
    }
    std::string token, ca;
    if (token_file != nullptr && *token_file != '\0') {
        if (!read_file(token_file, token)) {
            result = ERROR_FILE_NOT_FOUND;
            return 0;
        }
        while (!token.empty() && std::strchr(" \t\r\n", token.back()) != nullptr) token.pop_back();
    }
    if (ca_file != nullptr && *ca_file != '\0' && !read_file(ca_file, ca)) {
        result = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    if (usb::host_count() > usb::kMaxRemoteHosts) {
        result = ERROR_TOO_MANY_OPEN_FILES;
        return 0;
    }
    const KorvalRemoteCreate create = load_client();
    if (create == nullptr) {
        result = ERROR_MOD_NOT_FOUND;
        return 0;
    }
    const KorvalRemoteCallerMemory guard{
        [](void* target, const void* source, size_t size) { return copy_from_caller(target, source, size) ? 1 : 0; },
        [](void* target, const void* source, size_t size) { return copy_to_caller(target, source, size) ? 1 : 0; },
        [](const void* start, size_t size, int for_write) {
            return caller_range_usable(start, size, for_write != 0) ? 1 : 0;
        }};
    const KorvalRemoteConfig config{KORVAL_REMOTE_CLIENT_ABI, address, token.c_str(),
                                    ca_file != nullptr && *ca_file != '\0' ? ca.c_str() : nullptr, guard};
    KorvalHost host{};
    result = create(&config, &host);
    if (result != ERROR_SUCCESS) return 0;
    const uint32_t number = usb::add_host(host);
    if (number == 0) {
        result = ERROR_TOO_MANY_OPEN_FILES;
        return 0;
    }
    g_addresses.emplace_back(address);
    return number;
}

#endif  // !_WIN32

}  // namespace

void add_remotes_from_environment()
{
#ifndef _WIN32
    static std::once_flag once;
    std::call_once(once, [] {
        const char* list = std::getenv("KORVAL_REMOTE");
        if (list == nullptr) return;
        const char* token_file = std::getenv("KORVAL_REMOTE_TOKEN_FILE");
        const char* ca_file = std::getenv("KORVAL_REMOTE_CA");
        std::istringstream in(list);
        std::lock_guard lock(g_remote_mutex);
        for (std::string address; std::getline(in, address, ',');) {
            address.erase(0, address.find_first_not_of(" \t"));
            address.erase(address.find_last_not_of(" \t") + 1);
            uint32_t result = 0;
            if (!address.empty()) add_locked(address.c_str(), token_file, ca_file, result);
        }
    });
#endif
}

}  // namespace korval

extern "C" {

KORVAL_API uint32_t KORVAL_AddRemote(const char* Address, const char* TokenFile, const char* CaFile)
{
#ifdef _WIN32
    (void)Address;
    (void)TokenFile;
    (void)CaFile;
    return ERROR_NOT_SUPPORTED;
#else
    try {
        if (Address == nullptr) return ERROR_INVALID_PARAMETER;
        // The three strings are the caller's: read through the guard, each once.
        std::string address, token_file, ca_file;
        if (const uint32_t r = korval::read_caller_string(Address, address, 1024)) return r;
        if (TokenFile != nullptr)
            if (const uint32_t r = korval::read_caller_string(TokenFile, token_file, 4096)) return r;
        if (CaFile != nullptr)
            if (const uint32_t r = korval::read_caller_string(CaFile, ca_file, 4096)) return r;
        korval::add_remotes_from_environment();
        uint32_t result = ERROR_SUCCESS;
        uint32_t host = 0;
        {
            std::lock_guard lock(korval::g_remote_mutex);
            host = korval::add_locked(address.c_str(), token_file.c_str(), ca_file.c_str(), result);
        }
        if (host != 0) korval::discover_host(host);
        return result;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
#endif
}

}  // extern "C"
