#pragma once

#include "mqtt/mqttoptions.h"
#include "mqtt/mqtttransport.h"

#include <QByteArray>
#include <QList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

struct mosquitto;
class QSocketNotifier;

// How a client presents itself to the broker.
struct MqttClientConfig
{
    MqttSettings broker; // where, and the login
    QByteArray clientId; // empty: the library makes one up (clean sessions only)
    bool cleanSession = true; // false: the broker keeps the subscriptions and queues while away
    QByteArray willTopic; // when set, published retained (QoS 1) should the connection die
    QByteArray willPayload;
    // When set, the will's payload made afresh for every connection attempt
    // (it may carry the time), instead of willPayload.
    std::function<QByteArray()> willPayloadNow;
    int maxInflight = 20; // QoS 1 messages on their way at once
    qint64 maxPayload = 0; // longer messages received are let go (messageTooLong); 0: any
};

// One libmosquitto client (the real transport), driven by the Qt event loop of the thread it
// lives in (socket notifiers and timers; the library runs no thread of its
// own). Connecting resolves the name and opens the connection there and
// then, so a client whose broker may be slow to answer belongs in a thread
// of its own.
//
// After a failed attempt or a lost connection it tries again after 1 s,
// then 2, 4, ... up to 60 s, until close(). outage() tells once when the
// connection is lost (or the first attempt fails), connected() when it is
// back. Messages that were on their way when it broke are sent again by
// the library after the next connection, so the broker may see them twice.
class MqttClient : public MqttTransport
{
    Q_OBJECT

public:
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kMaxRetryMs = 60000;

    // A client, or nothing with `error` set when the MQTT library cannot
    // be loaded (the program reports it and ends as it sees fit).
    static std::unique_ptr<MqttClient> make(const MqttClientConfig &config, QString *error);
    // Loads the MQTT library (once); false with one line in `error` when it
    // cannot be. A program that needs it calls this first and ends with its
    // own exit status.
    static bool loadLibrary(QString *error);
    ~MqttClient() override;

    void open() override;
    // A clean DISCONNECT (the broker then drops the last will), after what
    // is queued has been handed to the system.
    void close() override;
    bool isConnected() const override { return m_connected; }
    int publish(const QByteArray &topic, const QByteArray &payload, int qos = 1, bool retain = false) override;
    void subscribe(const QByteArray &filter, int qos = 1) override;

private:
    explicit MqttClient(const MqttClientConfig &config);

    static void onConnect(mosquitto *mosq, void *self, int rc);
    static void onPublish(mosquitto *mosq, void *self, int mid);
    static void onMessage(mosquitto *mosq, void *self, const struct mosquitto_message *message);

    bool configure();
    void attempt();
    void watchSocket();
    void dropSocket();
    void readSocket();
    void writeSocket();
    void flushWrites();
    void housekeeping();
    // The library's call returned `rc`; a lost connection (the library has
    // closed the socket then) is handled here.
    void check(int rc);
    void connectionFailed(const QString &why);
    void acceptConnack(int rc);
    // The library calls back from inside its own calls, holding its locks:
    // what the callbacks tell is kept here and told once the library's call
    // has returned, so that a receiver may call the library again (publish,
    // close) without deadlocking on those locks.
    void defer(std::function<void()> event);
    void deliverDeferred();

    MqttClientConfig m_config;
    mosquitto *m_mosq = nullptr;
    std::unique_ptr<QSocketNotifier> m_reader;
    std::unique_ptr<QSocketNotifier> m_writer;
    QList<QPair<QByteArray, int>> m_subscriptions;
    QTimer m_retry;
    QTimer m_connack; // the broker's answer to CONNECT must come in time
    QTimer m_housekeeping; // keep-alive pings and their answers
    int m_retryMs = kFirstRetryMs;
    bool m_wanted = false;
    bool m_connected = false;
    bool m_inOutage = false;
    quint64 m_packetsTaken = 0; // packets the library has handed over, for reading on
    std::vector<std::function<void()>> m_deferred;
    bool m_delivering = false;
    QString m_setupError;
};
