#include "mosquittoapi.h"

#include <dlfcn.h>
#include <mutex>

namespace {

constexpr const char *kLibrary = "libmosquitto.so.1";

MosquittoApi g_api;
QString g_loadError;

QString cannotLoad(const QString &what)
{
    return QStringLiteral("cannot load the MQTT client library %1: %2").arg(QString::fromLatin1(kLibrary), what);
}

QString load()
{
    void *handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return cannotLoad(QString::fromLocal8Bit(::dlerror()));
    MosquittoApi api;
#define SORVIK7_MOSQUITTO_RESOLVE(name)                                                                                \
    api.name = reinterpret_cast<decltype(api.name)>(::dlsym(handle, #name));                                           \
    if (!api.name)                                                                                                     \
        return cannotLoad(QStringLiteral("it lacks " #name));
    SORVIK7_MOSQUITTO_FUNCTIONS(SORVIK7_MOSQUITTO_RESOLVE)
#undef SORVIK7_MOSQUITTO_RESOLVE
    // Searched in the library's dependencies; a library without TLS has none.
    api.releaseThread = reinterpret_cast<void (*)()>(::dlsym(handle, "OPENSSL_thread_stop"));
    api.mosquitto_lib_init();
    g_api = api;
    return {};
}

} // namespace

bool loadLibmosquitto(QString *error)
{
    static std::once_flag once;
    std::call_once(once, [] { g_loadError = load(); });
    if (!g_loadError.isEmpty())
        *error = g_loadError;
    return g_loadError.isEmpty();
}

const MosquittoApi &libmosquitto()
{
    return g_api;
}
