#pragma once

// An MQTT broker in memory, for tests of the publisher and the collector in
// one process: transports made by it carry messages between each other
// through the event loop, in order, with QoS 1 acknowledgements. The test
// cuts the link (an outage for every transport), loses messages on their
// way, or holds back acknowledgements. Topic filters know '+' and '#'.

#include "mqtt/mqtttransport.h"

#include <QByteArray>
#include <QList>
#include <QPointer>

#include <functional>
#include <memory>

class MemoryTransport;

class MemoryBroker : public QObject
{
    Q_OBJECT

public:
    struct Message
    {
        QByteArray topic;
        QByteArray payload;
    };

    std::unique_ptr<MemoryTransport> transport();

    // Down: every transport has an outage and publishes nothing; up: they
    // connect again (what was not acknowledged may come again, as with a
    // real broker).
    void setUp(bool up);
    bool isUp() const { return m_up; }
    // Messages for which this returns true are taken and acknowledged, but
    // never delivered.
    std::function<bool(const Message &)> lose;
    // While true, acknowledgements are held back (and lost at the next outage).
    bool holdAcks = false;
    // Every message published, in order.
    QList<Message> published;

private:
    friend class MemoryTransport;
    void deliver(MemoryTransport *from, const Message &message, int mid);

    bool m_up = true;
    QList<QPointer<MemoryTransport>> m_transports;
};

class MemoryTransport : public MqttTransport
{
    Q_OBJECT

public:
    explicit MemoryTransport(MemoryBroker &broker)
        : m_broker(broker)
    {
    }

    void open() override;
    void close() override;
    bool isConnected() const override { return m_connected; }
    int publish(const QByteArray &topic, const QByteArray &payload, int qos = 1, bool retain = false) override;
    void subscribe(const QByteArray &filter, int qos = 1) override;

private:
    friend class MemoryBroker;
    void linkChanged(bool up);
    bool wants(const QByteArray &topic) const;

    MemoryBroker &m_broker;
    QList<QByteArray> m_filters;
    bool m_wanted = false;
    bool m_connected = false;
    int m_nextMid = 1;
};
