#pragma once

#include <QString>

#include <mosquitto.h>

// The MQTT client library, loaded when the first client is made rather than
// linked: a logger that publishes nothing never maps it, nor the TLS
// libraries it brings with it (about 2 MB of resident memory).
#define SORVIK7_MOSQUITTO_FUNCTIONS(X)                                                                                 \
    X(mosquitto_lib_init)                                                                                              \
    X(mosquitto_strerror) X(mosquitto_connack_string) X(mosquitto_new) X(mosquitto_destroy)                            \
        X(mosquitto_connect_callback_set) X(mosquitto_publish_callback_set) X(mosquitto_message_callback_set)          \
            X(mosquitto_int_option) X(mosquitto_username_pw_set) X(mosquitto_will_set) X(mosquitto_tls_set)            \
                X(mosquitto_connect) X(mosquitto_disconnect) X(mosquitto_socket) X(mosquitto_loop_read)                \
                    X(mosquitto_loop_write) X(mosquitto_loop_misc) X(mosquitto_want_write) X(mosquitto_subscribe)      \
                        X(mosquitto_publish)

struct MosquittoApi
{
#define SORVIK7_MOSQUITTO_POINTER(name) decltype(&::name) name = nullptr;
    SORVIK7_MOSQUITTO_FUNCTIONS(SORVIK7_MOSQUITTO_POINTER)
#undef SORVIK7_MOSQUITTO_POINTER
    // The TLS library's OPENSSL_thread_stop, when the library brings it:
    // frees what it keeps for the calling thread.
    void (*releaseThread)() = nullptr;
};

// Loads (and initialises) the library once; later calls give the first
// call's answer. False with `error` set (one line naming the library and
// why) when it cannot be loaded: the program reports it and ends as it
// sees fit; nothing here ends the process.
bool loadLibmosquitto(QString *error);

// The library's functions; only after loadLibmosquitto() has returned true.
const MosquittoApi &libmosquitto();
