#include "mosquittoapi.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>

namespace {

constexpr const char *kLibrary = "libmosquitto.so.1";

[[noreturn]] void cannotLoad(const char *what)
{
    std::fprintf(stderr, "cannot load the MQTT client library %s: %s\n", kLibrary, what);
    std::exit(EXIT_FAILURE);
}

MosquittoApi load()
{
    void *handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        cannotLoad(::dlerror());
    MosquittoApi api;
#define SORVIK7_MOSQUITTO_RESOLVE(name)                                                                \
    api.name = reinterpret_cast<decltype(api.name)>(::dlsym(handle, #name));                          \
    if (!api.name)                                                                                     \
        cannotLoad("it lacks " #name);
    SORVIK7_MOSQUITTO_FUNCTIONS(SORVIK7_MOSQUITTO_RESOLVE)
#undef SORVIK7_MOSQUITTO_RESOLVE
    api.mosquitto_lib_init();
    return api;
}

} // namespace

const MosquittoApi &libmosquitto()
{
    static std::once_flag once;
    static MosquittoApi api;
    std::call_once(once, [] { api = load(); });
    return api;
}
